#include "appdaemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

volatile unsigned char uContinue = 0;
char* cBinName = nullptr;
int __my_pidFile = -1;
volatile sig_atomic_t uStopRequested = 0;

const char* baseName(const char* path)
{
    if (!path)
        return "";
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool pidPath(const char* name, char* out, size_t size)
{
    if (!name || strlen(name) > MAX_BIN_NAME)
        return false;
    int n = snprintf(out, size, "/tmp/%s.pid", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

mode_t daemonMask(mode_t inherited)
{
    return (inherited | DAEMON_MASK) & 0777;
}

int customDaemon()
{
    // A write past a file-size limit must fail with EFBIG, which every writer
    // answers, rather than end the daemon (the pid file's write is the first).
    signal(SIGXFSZ, SIG_IGN);
    pid_t pid = getpid();
    char path[128];
    if (!pidPath(cBinName, path, sizeof path)) {
        printf("Cant create PID: program name longer than %zu characters\n", MAX_BIN_NAME);
        return 0;
    }
    // /tmp is open to every user: a link planted at the path must not make the
    // daemon, usually root, truncate and write the file it points to.
    // Close-on-exec: a companion program holding the lock would keep every
    // later start from locking it.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
        printf("Cant create PID: %s\n", path);
        return 0;
    }
    // A file planted there by another user is theirs to lock or rewrite.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        printf("Cant create PID: %s\n", path);
        close(fd);
        return 0;
    }
    __my_pidFile = fd;
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        printf("Cant lock PID\n");
        close(fd);
        __my_pidFile = -1;
        return 0;
    }
    // An id left by an earlier, longer one must not survive behind ours.
    if (ftruncate(fd, 0) == -1 || lseek(fd, 0, SEEK_SET) == -1) {
        printf("Cant create PID: %s\n", path);
        return 0;
    }
    char digits[16];
    int len = snprintf(digits, sizeof digits, "%d", static_cast<int>(pid));
    if (write(fd, digits, static_cast<size_t>(len)) != len) {
        printf("Cant create PID: %s\n", path);
        return 0;
    }
    printf("Start daemon, PID: %d\n", static_cast<int>(pid));
    fflush(stdout);
    // The log, the success file and the configuration files must not be open
    // to other users; a stricter mask the daemon was started with is kept.
    umask(daemonMask(umask(DAEMON_MASK)));
    setsid();
    close(0);
    close(1);
    close(2);
    // Keep 0 to 2 occupied, so that no socket lands there and nothing written to
    // stdout or stderr reaches a socket. Inherited on purpose: they are the
    // companion programs' standard descriptors.
    int null = open("/dev/null", O_RDWR);
    if (null == 0) {
        dup2(0, 1);
        dup2(0, 2);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: select must return with EINTR
    sigaction(SIGTERM, &sa, nullptr);
    return 1;
}

void handler(int)
{
    if (__my_pidFile >= 0) {
        flock(__my_pidFile, LOCK_UN);
        close(__my_pidFile);
        __my_pidFile = -1;
    }
    uStopRequested = 1;
    uContinue = 0;
}

void armRunning()
{
    // Both are volatile, so the stores and the check stay in this order: a SIGTERM
    // before the check has its stop request seen here, one after it clears the flag
    // itself.
    uContinue = 1;
    if (uStopRequested)
        uContinue = 0;
}
