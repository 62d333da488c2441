#ifndef TESTS_SETTINGS_LOCK_H
#define TESTS_SETTINGS_LOCK_H

// The lock that every test program holding the plug-in's settings file (a fixed path shared
// by all runs on the machine) takes first. Any user's run must be able to take it, or two
// runs would rewrite the one file at once: flock needs only a descriptor open for reading,
// so the file is opened read-only, and one that does not exist yet is made readable by all
// whatever the creator's mask.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

class settingsLock {
public:
    explicit settingsLock(std::string file = defaultPath()) : path(std::move(file))
    {
        fd = openLockFile();
        if (fd >= 0) {
            int rc;
            while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (rc != 0) {
                int cause = errno;
                close(fd);
                fd = -1;
                errno = cause;
            }
        }
        if (fd < 0)
            std::fprintf(stderr, "cannot lock %s: %s\n", path.c_str(), std::strerror(errno));
    }
    ~settingsLock()
    {
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
        }
    }
    settingsLock(const settingsLock&) = delete;
    settingsLock& operator=(const settingsLock&) = delete;

    bool held() const { return fd >= 0; }
    static const char* defaultPath() { return "/tmp/dorvish-vantrel-settings.lock"; }

private:
    int openLockFile() const
    {
        // Opened before it is created: in a sticky directory the kernel may refuse O_CREAT
        // on another user's file (protected_regular) even where reading it is allowed.
        for (int tries = 0; tries < 3; ++tries) {
            int lock = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (lock >= 0 || errno != ENOENT)
                return lock;
            lock = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (lock >= 0) {
                fchmod(lock, 0644);
                return lock;
            }
            if (errno != EEXIST)
                return -1;
        }
        return -1;
    }

    std::string path;
    int fd = -1;
};

#endif
