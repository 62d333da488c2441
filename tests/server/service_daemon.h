#ifndef SERVICE_DAEMON_H
#define SERVICE_DAEMON_H

// The real daemon with a service console: its configuration, its log, and a
// console client that knows when the daemon has handled a read, so that two
// commands never reach it as one read.

#include <glob.h>
#include <sys/stat.h>

#include <string>

#include "dorvish_run.h"

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline size_t countOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

inline long long fileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Polls check every 10 ms until it holds or ms have passed.
template <class F>
bool eventually(F check, int ms = 5000)
{
    const long long end = monoMs() + ms;
    while (!check()) {
        if (monoMs() >= end)
            return false;
        usleep(10000);
    }
    return true;
}

class consoleDaemon {
public:
    const int xmlPort = freeTcpPort();
    const int servicePort = freeTcpPort();
    dorvishRun run;

    // logLine: the section's log key line, or "" for none; more: further lines.
    bool start(const std::string& logLine = "log log_%s.txt\n", const std::string& more = "")
    {
        return startWith("[dorvish]\n" + logLine + "loglevel 1\nxmlport " + std::to_string(xmlPort) + "\nserviceport " +
                         std::to_string(servicePort) + "\n" + more);
    }

    // The whole configuration text, as given.
    bool startWith(const std::string& text)
    {
        run.config("dorvish.cfg", text);
        run.start({"-c", "dorvish.cfg"});
        if (run.daemonPid <= 0 || !run.waitPort(xmlPort))
            return false;
        // The service listener opens after the cash-register one; wait for it
        // without a connection of our own, which would add lines to the log.
        if (text.find("serviceport " + std::to_string(servicePort)) != std::string::npos)
            return eventually([&] { return listening(servicePort); });
        return true;
    }

    // True when a socket of this machine listens on the TCP port.
    static bool listening(int port)
    {
        FILE* f = fopen("/proc/net/tcp", "r");
        if (!f)
            return false;
        char line[512];
        bool found = false;
        unsigned localPort = 0, state = 0;
        while (!found && fgets(line, sizeof line, f))
            found = sscanf(line, " %*d: %*8[0-9A-Fa-f]:%x %*8[0-9A-Fa-f]:%*x %x", &localPort, &state) == 2 &&
                    localPort == static_cast<unsigned>(port) && state == 0x0A;
        fclose(f);
        return found;
    }

    std::string path(const std::string& name) const { return run.dir + "/" + name; }

    // The daily log: the one file of the log pattern, or file.log without a pattern.
    std::string log() const
    {
        glob_t found;
        std::string text;
        if (glob(path("log_*.txt").c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0)
            text = readFile(found.gl_pathv[0]);
        else
            text = readFile(path("file.log"));
        globfree(&found);
        return text;
    }

    size_t handled() const { return countOf(log(), "SERVICE READ: "); }
};

class console {
public:
    explicit console(const consoleDaemon& daemon) : d(daemon), c(daemon.servicePort) { greeting = c.receive(398); }

    // One read, and the reply of want bytes (less when it does not come).
    std::string ask(const std::string& command, size_t want)
    {
        c.send(command);
        return c.receive(want);
    }
    // One read that gets no reply; true once the daemon has logged it.
    bool tell(const std::string& command)
    {
        const size_t before = d.handled();
        return c.send(command) && eventually([&] { return d.handled() > before; });
    }
    // One read of paste mode; true once the temporary file holds size bytes.
    bool paste(const std::string& text, long long size)
    {
        return c.send(text) && eventually([&] { return fileSize(d.path("config.cfg.tmp")) == size; });
    }

    const consoleDaemon& d;
    client c;
    std::string greeting;
};

#endif
