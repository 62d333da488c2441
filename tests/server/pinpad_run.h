#ifndef PINPAD_RUN_H
#define PINPAD_RUN_H

// The simulated PIN pad as a process of the tests: started on a terminal port with its
// rules, its event log read back, stopped with SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_files.h"

// Built next to dorvish: <build>/server/dorvish and <build>/tools/pinpad/pinpad.
inline std::string pinpadBinary()
{
#ifdef PINPAD_BINARY
    return PINPAD_BINARY;
#else
    std::string path = DORVISH_BINARY;
    const size_t slash = path.rfind('/');
    path = path.substr(0, slash == std::string::npos ? 0 : slash);
    const size_t up = path.rfind('/');
    return path.substr(0, up == std::string::npos ? 0 : up) + "/tools/pinpad/pinpad";
#endif
}

// Starts a program with its standard output and error in the files given ("" keeps
// ours); the caller waits for it or signals it.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err,
                   const std::vector<std::string>& env = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = out.empty() ? 1 : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = err.empty() ? 2 : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0)
            _exit(127);
        dup2(o, 1);
        dup2(e, 2);
        for (const std::string& kv : env)
            putenv(const_cast<char*>(kv.c_str()));
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Lines of text holding part.
inline std::vector<std::string> linesWith(const std::string& text, const std::string& part)
{
    std::vector<std::string> out;
    size_t a = 0;
    while (a < text.size()) {
        size_t b = text.find('\n', a);
        if (b == std::string::npos)
            b = text.size();
        const std::string line = text.substr(a, b - a);
        if (line.find(part) != std::string::npos)
            out.push_back(line);
        a = b + 1;
    }
    return out;
}

// One pinpad process; SIGTERM when it goes.
class pinpadRun {
public:
    // Its event log is dir/pinpad_<port>.log; its output stays ours.
    pinpadRun(const std::string& dir, int port, const std::vector<std::string>& rules)
        : pinpadRun(port, rules, dir + "/pinpad_" + std::to_string(port), false)
    {
    }
    // Its event log is stem.log; with ownFiles its output goes to stem.out and stem.err.
    pinpadRun(int port, const std::vector<std::string>& rules, const std::string& stem, bool ownFiles)
        : logPath(stem + ".log")
    {
        std::vector<std::string> args = {pinpadBinary(), "--port", std::to_string(port), "--log", logPath,
                                         "--retry", "50"};
        for (const std::string& r : rules) {
            args.push_back("--rule");
            args.push_back(r);
        }
        pid = spawn(args, ownFiles ? stem + ".out" : "", ownFiles ? stem + ".err" : "");
    }
    ~pinpadRun() { stop(); }
    pinpadRun(const pinpadRun&) = delete;
    pinpadRun& operator=(const pinpadRun&) = delete;

    // SIGTERM; its exit status (0 for a clean stop), -1 when it was already gone.
    int stop()
    {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string log() const { return readFile(logPath); }
    // Lines of the log holding part.
    std::vector<std::string> lines(const std::string& part) const { return linesWith(log(), part); }
    // Waits until count lines hold part; false when the time ran out.
    bool waitLines(const std::string& part, size_t count, int ms = 10000) const
    {
        const long long end = monoMs() + ms;
        while (lines(part).size() < count) {
            if (monoMs() > end)
                return false;
            usleep(20000);
        }
        return true;
    }

    pid_t pid = -1;
    std::string logPath;
};

// The value of field tag in a pinpad "recv"/"send" line: " 03=0123456789".
inline std::string fieldOf(const std::string& line, const std::string& tag)
{
    const std::string key = " " + tag + "=";
    const size_t a = line.find(key);
    if (a == std::string::npos)
        return "";
    const size_t from = a + key.size();
    const size_t b = line.find(' ', from);
    return line.substr(from, b == std::string::npos ? std::string::npos : b - from);
}

#endif
