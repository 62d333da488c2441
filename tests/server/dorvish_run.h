#ifndef DORVISH_RUN_H
#define DORVISH_RUN_H

// Runs the real dorvish binary under a name of its own in a scratch directory,
// talks to it over loopback TCP and stops it with SIGTERM. The test process is a
// child subreaper, so the forked daemon becomes its child and its exit status
// can be collected.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "free_port.h"
#include "test_files.h"

// A TCP client of the server.
class client {
public:
    explicit client(int port) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<unsigned short>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~client() { close(fd); }
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    bool send(const std::string& data) { return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()); }

    // Reads until want bytes arrived, the peer closed, or the time is up.
    std::string receive(size_t want, int ms = 3000)
    {
        std::string out;
        const long long end = monoMs() + ms;
        while (out.size() < want) {
            long long left = end - monoMs();
            if (left <= 0)
                break;
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                eof = true;
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // Reads up to and including the first occurrence of marker.
    std::string receiveUntil(const std::string& marker, int ms = 3000)
    {
        std::string out;
        const long long end = monoMs() + ms;
        while (out.find(marker) == std::string::npos && monoMs() < end) {
            std::string more = receive(out.size() + 1, static_cast<int>(end - monoMs()));
            if (more.empty())
                break;
            out += more;
        }
        return out;
    }
    // True when the server closed the connection within ms.
    bool closedByPeer(int ms = 3000)
    {
        receive(1u << 20, ms);
        return eof;
    }

    int fd;
    bool ok = false;
    bool eof = false;
};

// Today's file of a daily log pattern such as "dorvish_%s.log": prefix, YYYYMMDD, suffix.
inline std::string dailyLogName(const std::string& prefix, const std::string& suffix)
{
    char day[16];
    const time_t t = time(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    strftime(day, sizeof day, "%Y%m%d", &local);
    return prefix + day + suffix;
}

struct runResult {
    int status = -1; // exit status of the started process
    std::string out; // its standard output and error, with the daemon's until it closed them
};

// One dorvish program under a unique name, with its own scratch directory.
class dorvishRun {
    scratchTree tree{"dorvish-run"}; // first made, last removed: the rest lives in it

public:
    dorvishRun() : dorvishRun(uniqueName()) {}
    explicit dorvishRun(const std::string& binName) : name(binName), dir(tree.path)
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        exe = dir + "/" + name;
        if (symlink(DORVISH_BINARY, exe.c_str()) != 0)
            perror("symlink");
        pidFile = "/tmp/" + name + ".pid";
        unlink(pidFile.c_str());
    }
    ~dorvishRun()
    {
        stop();
        unlink(pidFile.c_str());
    }

    static std::string uniqueName()
    {
        static int counter = 0;
        return "dvt" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    }

    void config(const std::string& file, const std::string& text) const { writeFile(dir + "/" + file, text); }

    // Runs the program (path as given, relative to the scratch directory) and
    // waits for the started process, not for the daemon.
    runResult start(const std::vector<std::string>& args, const std::string& path = "")
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return runResult();
        pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            if (beforeExec)
                beforeExec();
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> all;
            all.push_back(path.empty() ? exe : path);
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        runResult r;
        char buf[4096];
        ssize_t n;
        // The pipe ends when the starter and the daemon have both let go of it.
        const long long end = monoMs() + 10000;
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        while (monoMs() < end) {
            pollfd p = {out[0], POLLIN, 0};
            poll(&p, 1, 100);
            n = read(out[0], buf, sizeof buf);
            if (n == 0)
                break;
            if (n > 0)
                r.out.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        daemonPid = atoi(readFile(pidFile).c_str());
        return r;
    }

    // Waits until the port takes connections.
    bool waitPort(int port, int ms = 5000) const
    {
        const long long end = monoMs() + ms;
        while (monoMs() < end) {
            client c(port);
            if (c.ok)
                return true;
            usleep(20000);
        }
        return false;
    }

    // Waits for the daemon to end; its exit status, -1 when it did not end.
    int waitExit(int ms = 10000)
    {
        if (daemonPid <= 0)
            return -1;
        const long long end = monoMs() + ms;
        while (monoMs() < end) {
            int status = 0;
            pid_t r = waitpid(daemonPid, &status, WNOHANG);
            if (r == daemonPid) {
                daemonPid = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (r < 0)
                return -1;
            usleep(10000);
        }
        return -1;
    }

    // SIGTERM and the daemon's exit status.
    int stop()
    {
        if (daemonPid <= 0)
            return -1;
        kill(daemonPid, SIGTERM);
        int status = waitExit();
        if (status == -1 && daemonPid > 0) {
            kill(daemonPid, SIGKILL);
            waitpid(daemonPid, nullptr, 0);
            daemonPid = 0;
        }
        return status;
    }

    // The text of the log file, once it holds marker (or the time is up).
    std::string log(const std::string& file, const std::string& marker = "", int ms = 3000) const
    {
        const long long end = monoMs() + ms;
        std::string text = readFile(dir + "/" + file);
        while (!marker.empty() && text.find(marker) == std::string::npos && monoMs() < end) {
            usleep(20000);
            text = readFile(dir + "/" + file);
        }
        return text;
    }

    std::string name;
    std::string dir;
    std::string exe;
    std::string pidFile;
    pid_t daemonPid = 0;
    // Runs in the started process just before the program: limits, masks, signals.
    std::function<void()> beforeExec;
};

#endif
