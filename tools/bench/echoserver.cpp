#include "echoserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

bool EchoServer::start()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 128) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stop_.store(false);
    thread_ = std::thread(&EchoServer::loop, this);
    return true;
}

void EchoServer::stop()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

void EchoServer::loop()
{
    // One thread and poll, like the daemon's own single-threaded reactor.
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    static const char kGreeting[] = "EFT-server. echo\r\n";
    while (!stop_.load()) {
        if (::poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = fds.size(); i-- > 1;) {
            if (!fds[i].revents)
                continue;
            char buf[4096];
            ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0 || ::send(fds[i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                ::send(fd, kGreeting, sizeof kGreeting - 1, MSG_NOSIGNAL);
                fds.push_back(pollfd{fd, POLLIN, 0});
            }
        }
    }
    for (size_t i = 1; i < fds.size(); ++i)
        ::close(fds[i].fd);
}
