#include "daemon.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "cashclient.h"

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string pidFileOf(const std::string& name)
{
    return "/tmp/" + name + ".pid";
}

}  // namespace

bool Daemon::start(const std::string& binary, const std::string& config, std::string& error)
{
    char real[PATH_MAX];
    if (!realpath(binary.c_str(), real)) {
        error = "cannot find " + binary + ": " + std::strerror(errno);
        return false;
    }
    char templ[] = "/tmp/dorvish-bench-XXXXXX";
    if (!mkdtemp(templ)) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = templ;
    name_ = "dorvish-bench-" + dir_.substr(dir_.size() - 6);
    const std::string link = dir_ + "/" + name_;
    if (symlink(real, link.c_str()) != 0) {
        error = std::string("symlink: ") + std::strerror(errno);
        return false;
    }
    {
        std::ofstream out(dir_ + "/bench.cfg");
        out << config;
        if (!out) {
            error = "cannot write the configuration";
            return false;
        }
    }
    ::unlink(pidFileOf(name_).c_str());

    pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        if (chdir(dir_.c_str()) != 0)
            _exit(127);
        int out = ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execl(link.c_str(), name_.c_str(), "-c", "bench.cfg", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The first process only forks the daemon and exits.
    int status = 0;
    const long long deadline = monotonicMs() + 5000;
    for (;;) {
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child)
            break;
        if (monotonicMs() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            error = "dorvish did not detach within 5 s";
            return false;
        }
        sleepMs(10);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "dorvish exited with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                " (see " + dir_ + "/stdout.txt)";
        keep_ = true;
        return false;
    }
    while (monotonicMs() < deadline) {
        std::ifstream in(pidFileOf(name_));
        long pid = 0;
        if (in >> pid && pid > 0) {
            pid_ = static_cast<pid_t>(pid);
            if (alive())
                return true;
            pid_ = 0;
        }
        sleepMs(10);
    }
    error = "no running daemon behind " + pidFileOf(name_) + " (see " + dir_ + ")";
    keep_ = true;
    return false;
}

bool processAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return false;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

bool Daemon::alive() const
{
    return processAlive(pid_);
}

long Daemon::statusKb(const char* key) const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

void Daemon::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const long long deadline = monotonicMs() + 5000;
        while (alive() && monotonicMs() < deadline)
            sleepMs(10);
        if (alive()) {
            std::fprintf(stderr, "bench: dorvish %d ignored SIGTERM, killing it\n", static_cast<int>(pid_));
            kill(pid_, SIGKILL);
        }
        pid_ = 0;
    }
    if (!name_.empty())
        ::unlink(pidFileOf(name_).c_str());
    if (!dir_.empty()) {
        if (keep_) {
            std::fprintf(stderr, "bench: daemon files kept in %s\n", dir_.c_str());
        } else if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    ::unlink((dir_ + "/" + e->d_name).c_str());
            closedir(d);
            ::rmdir(dir_.c_str());
        }
        dir_.clear();
    }
    name_.clear();
}
