// Preloaded into a test host (LD_PRELOAD): every write to a TCP connection fails as if the
// peer had reset it, so that a request never leaves the host. Everything else the host
// writes (its standard output and error, files, local sockets) goes through as usual.

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool isTcp(int fd)
{
    const int saved = errno;
    int type = 0;
    socklen_t length = sizeof type;
    sockaddr_storage address {};
    socklen_t addressLength = sizeof address;
    const bool tcp = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0
        && type == SOCK_STREAM
        && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0
        && (address.ss_family == AF_INET || address.ss_family == AF_INET6);
    errno = saved;
    return tcp;
}

ssize_t refused()
{
    errno = ECONNRESET;
    return -1;
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

ssize_t send(int fd, const void* data, size_t size, int flags)
{
    static const auto real = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    return isTcp(fd) ? refused() : real(fd, data, size, flags);
}

ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to,
               socklen_t toLength)
{
    static const auto real =
        next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    return isTcp(fd) ? refused() : real(fd, data, size, flags, to, toLength);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags)
{
    static const auto real = next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    return isTcp(fd) ? refused() : real(fd, message, flags);
}

ssize_t write(int fd, const void* data, size_t size)
{
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return isTcp(fd) ? refused() : real(fd, data, size);
}

ssize_t writev(int fd, const iovec* parts, int count)
{
    static const auto real = next<ssize_t (*)(int, const iovec*, int)>("writev");
    return isTcp(fd) ? refused() : real(fd, parts, count);
}

} // extern "C"
