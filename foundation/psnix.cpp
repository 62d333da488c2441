#include "psnix.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void PSInit(PS_INFO*)
{
}

int PSStartUp(PS_INFO*)
{
    return 0;
}

void PSCleanup()
{
}

hostent* PSGetHostByName(const char* name)
{
    if (name == nullptr)
        return nullptr;
    return gethostbyname(name);
}

sockaddr_in* PSFillAddrIn(sockaddr_in* addr, hostent* host, unsigned short port)
{
    unsigned int address = 0;
    // A host entry without an IPv4 address leaves the address at 0 rather than
    // reading past what the resolver gave.
    if (host != nullptr && host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list != nullptr
        && host->h_addr_list[0] != nullptr)
        std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return PSFillAddrIn(addr, address, port);
}

sockaddr_in* PSFillAddrIn(sockaddr_in* addr, unsigned int address, unsigned short port)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = address;
    addr->sin_port = port;
    return addr;
}

void PSNonBlock(int fd)
{
    int on = 1;
    int probes = 2;
    int idle = 120;
    int interval = 60;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
}

int PSConnect(int fd, sockaddr_in* addr, unsigned short length)
{
    return ::connect(fd, reinterpret_cast<sockaddr*>(addr), length);
}

int PSBind(int fd, sockaddr_in* addr, unsigned short length)
{
    return ::bind(fd, reinterpret_cast<sockaddr*>(addr), length);
}

int PSList(int fd)
{
    return ::listen(fd, 128);
}

int PSAccept(int fd, sockaddr_in* addr, int* length)
{
    socklen_t len = length != nullptr && *length > 0 ? static_cast<socklen_t>(*length) : 0;
    // Close-on-exec, like every descriptor of the daemon: a started program must
    // not hold a cash register's connection open.
    int result = ::accept4(fd, reinterpret_cast<sockaddr*>(addr), &len, SOCK_CLOEXEC);
    if (length != nullptr)
        *length = static_cast<int>(len);
    return result;
}

int PSRecv(int fd, unsigned char* buf, unsigned short n)
{
    return static_cast<int>(::read(fd, buf, n));
}

int PSRecvFrom(int fd, unsigned char* buf, unsigned short n, sockaddr_in* from, int* length)
{
    socklen_t len = length != nullptr && *length > 0 ? static_cast<socklen_t>(*length) : 0;
    int result = static_cast<int>(::recvfrom(fd, buf, n, 0, reinterpret_cast<sockaddr*>(from), &len));
    if (length != nullptr)
        *length = static_cast<int>(len);
    return result;
}

int PSSend(int fd, unsigned char* buf, unsigned short n)
{
    // MSG_NOSIGNAL: the daemon leaves SIGPIPE at its default, which would kill
    // it on the first write to a peer that has gone.
    return static_cast<int>(::send(fd, buf, n, MSG_NOSIGNAL));
}

int PSSendTo(int fd, unsigned char* buf, unsigned short n, sockaddr_in* to, int length)
{
    return static_cast<int>(::sendto(fd, buf, n, 0, reinterpret_cast<sockaddr*>(to), static_cast<socklen_t>(length)));
}

int PSShutdown(int fd, short how)
{
    return ::shutdown(fd, how);
}

int PSClose(int fd)
{
    return ::close(fd);
}

int PSGetLastError()
{
    return errno;
}

int PSSleep(unsigned n)
{
    return usleep(n);
}

int PSGetHostIp(in_addr* out, short max)
{
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return 0;
    name[sizeof name - 1] = '\0';
    hostent* host = gethostbyname(name);
    if (host == nullptr || max <= 0 || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        return 0;
    if (host->h_addrtype != AF_INET || host->h_length != static_cast<int>(sizeof(in_addr)))
        return 0;
    int taken = 0;
    while (taken < max && host->h_addr_list[taken] != nullptr) {
        if (out != nullptr)
            std::memcpy(&out[taken], host->h_addr_list[taken], sizeof(in_addr));
        ++taken;
    }
    return taken;
}
