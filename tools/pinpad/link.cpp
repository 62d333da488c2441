#include "link.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pinpad {

Link::Link(const LinkOptions& options, Terminal& terminal, TraceLog* log)
    : options_(options), terminal_(terminal), log_(log)
{
}

Link::~Link()
{
    shutdown();
}

void Link::log(const std::string& text)
{
    if (log_)
        log_->line(text);
}

void Link::shutdown()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    state_ = State::Idle;
    finished_ = true;
}

void Link::startConnect(TimePoint now)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.host.c_str(), &addr.sin_addr) != 1) {
        log("error bad address " + options_.host);
        finished_ = true;
        return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        nextTry_ = now + std::chrono::milliseconds(options_.retryMs);
        return;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        connectedNow(now);
    } else if (errno == EINPROGRESS) {
        state_ = State::Connecting;
    } else {
        drop(now, "connect failed");
    }
}

void Link::connectedNow(TimePoint now)
{
    state_ = State::Connected;
    failLogged_ = false;
    out_.clear();
    log("connect " + options_.host + ":" + std::to_string(options_.port));
    terminal_.connected(now, options_.unsolicitedMs);
}

void Link::drop(TimePoint now, const char* why)
{
    const bool wasConnected = state_ == State::Connected;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    state_ = State::Idle;
    out_.clear();
    // A server that is not up yet is retried quietly after the first notice.
    if (wasConnected || !failLogged_)
        log(why);
    if (!wasConnected)
        failLogged_ = true;
    if (wasConnected && options_.once)
        finished_ = true;
    nextTry_ = now + std::chrono::milliseconds(options_.retryMs);
}

void Link::flush(TimePoint now)
{
    while (!out_.empty()) {
        ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            out_.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        } else {
            drop(now, "closed (write failed)");
            return;
        }
    }
}

void Link::prepare(int& fd, short& events, TimePoint& wake, TimePoint now)
{
    fd = -1;
    events = 0;
    if (finished_)
        return;
    if (state_ == State::Idle) {
        if (now >= nextTry_)
            startConnect(now);
        if (state_ == State::Idle) {
            wake = std::min(wake, nextTry_);
            return;
        }
    }
    if (state_ == State::Connected) {
        for (Output& o : terminal_.due(now)) {
            if (o.kind == Output::Close) {
                drop(now, "closed by script");
                return prepare(fd, events, wake, now);
            }
            out_ += o.bytes;
            // Each write of the script is its own send, so a split answer stays split.
            flush(now);
            if (state_ != State::Connected)
                return prepare(fd, events, wake, now);
        }
        wake = std::min(wake, terminal_.nextDue());
    }
    fd = fd_;
    events = POLLIN;
    if (state_ == State::Connecting || !out_.empty())
        events |= POLLOUT;
}

void Link::service(short revents, TimePoint now)
{
    if (fd_ < 0 || revents == 0)
        return;
    if (state_ == State::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (revents & (POLLERR | POLLHUP)))
            drop(now, "connect failed");
        else if (revents & POLLOUT)
            connectedNow(now);
        return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[16384];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            terminal_.received(std::string(buf, static_cast<size_t>(n)), now);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            drop(now, "closed by server");
            return;
        }
    }
    if (revents & POLLOUT)
        flush(now);
}

void runLinks(const std::vector<Link*>& links, const std::atomic<bool>& stop)
{
    std::vector<pollfd> fds(links.size());
    while (!stop.load()) {
        TimePoint now = Clock::now();
        // Wake at least every 100 ms to see `stop`.
        TimePoint wake = now + std::chrono::milliseconds(100);
        bool anyLeft = false;
        for (size_t i = 0; i < links.size(); ++i) {
            fds[i].revents = 0;
            links[i]->prepare(fds[i].fd, fds[i].events, wake, now);
            anyLeft = anyLeft || !links[i]->finished();
        }
        if (!anyLeft)
            return;
        auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        if (waitMs < 0)
            waitMs = 0;
        int r = ::poll(fds.data(), fds.size(), static_cast<int>(waitMs) + (wake > Clock::now() ? 1 : 0));
        if (r < 0 && errno != EINTR)
            return;
        now = Clock::now();
        for (size_t i = 0; i < links.size(); ++i)
            if (fds[i].fd >= 0)
                links[i]->service(fds[i].revents, now);
    }
}

}  // namespace pinpad
