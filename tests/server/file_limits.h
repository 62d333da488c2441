#ifndef FILE_LIMITS_H
#define FILE_LIMITS_H

// What makes the daemon's file writes fail: a file-size limit, file modes that
// bind it like an ordinary user. And what the tests look for afterwards.

#include <glob.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// A file-size limit for the process and what it starts. SIGXFSZ is left at its
// default, as a shell leaves it: the daemon itself must keep it from ending it.
inline void limitFileSize(rlim_t bytes)
{
    signal(SIGXFSZ, SIG_DFL);
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Lines of text adding up to exactly size bytes.
inline std::string textOf(size_t size, char letter)
{
    std::string text;
    while (text.size() < size)
        text += std::string(63, letter) + "\n";
    text.resize(size);
    text.back() = '\n';
    return text;
}

// The siblings of config.cfg in the directory other than the temporary file.
inline size_t strayCopies(const std::string& dir)
{
    glob_t found;
    size_t n = 0;
    if (glob((dir + "/config.cfg.*").c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            n += std::string(found.gl_pathv[i]) != dir + "/config.cfg.tmp";
    }
    globfree(&found);
    return n;
}

// Root ignores file modes; without CAP_DAC_OVERRIDE it is bound by them like
// any owner. Dropped from the bounding set, the capability is gone after exec.
inline void bindByFileModes()
{
    if (geteuid() == 0)
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
}

// True when a process started the way the daemon is cannot open path for writing.
inline bool unwritableForTheDaemon(const std::string& path)
{
    const pid_t child = fork();
    if (child == 0) {
        bindByFileModes();
        execl("/bin/sh", "sh", "-c", "exec 3>>\"$0\"", path.c_str(), static_cast<char*>(nullptr));
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

#endif
