#ifndef APPDAEMON_H
#define APPDAEMON_H

#include <csignal>
#include <cstddef>
#include <sys/types.h>

// Running flag handed to the reactor loop: 1 while the server runs, cleared by SIGTERM.
extern volatile unsigned char uContinue;
// Base name of the program; names the pid file "/tmp/<name>.pid".
extern char* cBinName;
// Locked pid file, -1 while there is none (0 is a valid descriptor).
extern int __my_pidFile;
// Set by SIGTERM; keeps a stop that arrives before the loop starts from being lost.
extern volatile sig_atomic_t uStopRequested;

// Longest base name whose pid path fits the 128-byte path buffer.
const size_t MAX_BIN_NAME = 118;

// The part of path after its last '/', or path itself.
const char* baseName(const char* path);
// Writes "/tmp/<name>.pid" into out; false when it does not fit.
bool pidPath(const char* name, char* out, size_t size);

// Bits every file the daemon creates is without: no write for group and
// others, nothing at all for others. Companion programs inherit the mask.
const mode_t DAEMON_MASK = 027;
// The daemon's file mode mask: the one it was started with, made at least as strict.
mode_t daemonMask(mode_t inherited);

// Turns the forked child into the daemon: locked pid file, file mode mask, new session,
// standard descriptors on /dev/null, SIGTERM handler. 1 on success, 0 on failure.
int customDaemon();
// SIGTERM: releases the pid file lock once and clears the running flag.
void handler(int);
// Sets the running flag for the loop unless SIGTERM has already asked to stop.
void armRunning();

#endif
