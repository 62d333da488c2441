#ifndef APPDAEMON_H
#define APPDAEMON_H

#include <csignal>
#include <cstddef>

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

// Turns the forked child into the daemon: locked pid file, umask 0, new session,
// standard descriptors on /dev/null, SIGTERM handler. 1 on success, 0 on failure.
int customDaemon();
// SIGTERM: releases the pid file lock once and clears the running flag.
void handler(int);
// Sets the running flag for the loop unless SIGTERM has already asked to stop.
void armRunning();

#endif
