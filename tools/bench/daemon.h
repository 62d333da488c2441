// Runs one dorvish for the benchmark: in a temporary directory of its own, under a base
// name of its own (so its pid file /tmp/<name>.pid clashes with no other run), and stops
// it with SIGTERM.
#pragma once

#include <string>
#include <sys/types.h>

// False once the process has ended, also while it lingers as a zombie of init: a
// daemon is not our child, so we cannot reap it.
bool processAlive(pid_t pid);

class Daemon {
public:
    ~Daemon() { stop(); }

    // Starts the binary with the configuration text and waits for the daemon's pid file.
    bool start(const std::string& binary, const std::string& config, std::string& error);

    // SIGTERM, then SIGKILL if it has not ended within 5 s; removes the directory unless kept.
    void stop();

    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    void keepFiles() { keep_ = true; }

    // A line of /proc/<pid>/status, such as VmRSS, in kB; -1 when unreadable.
    long statusKb(const char* key) const;

private:
    bool alive() const;

    std::string dir_;
    std::string name_;
    pid_t pid_ = 0;
    bool keep_ = false;
};
