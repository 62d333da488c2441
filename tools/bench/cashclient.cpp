#include "cashclient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"

long long monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long monotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string purchaseRequest(unsigned kkm)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><type>0200000000</type><amount>100</amount><kkm>" +
           std::to_string(kkm) + "</kkm></mess>";
}

void CashClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool CashClient::open(uint16_t port, int timeoutMs, std::string& error)
{
    close();
    const long long deadline = monotonicMs() + timeoutMs;
    fd_ = loopbackSocket();
    if (fd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // Loopback connects either succeed or are refused at once; no timeout needed here.
    if (!connectLoopback(fd_, port)) {
        error = std::string("connect: ") + std::strerror(errno);
        close();
        return false;
    }
    if (!readUntil("\r\n", deadline, error)) {
        error = "no greeting: " + error;
        close();
        return false;
    }
    buffer_.clear();
    return true;
}

bool CashClient::readUntil(const char* marker, long long deadlineMs, std::string& error)
{
    size_t searchFrom = 0;
    const size_t markerLen = std::strlen(marker);
    for (;;) {
        if (buffer_.find(marker, searchFrom) != std::string::npos)
            return true;
        searchFrom = buffer_.size() >= markerLen ? buffer_.size() - markerLen + 1 : 0;
        long long left = deadlineMs - monotonicMs();
        if (left <= 0) {
            error = "timed out";
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            error = r == 0 ? "timed out" : std::string("poll: ") + std::strerror(errno);
            return false;
        }
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n == 0) {
            error = "closed by server";
            return false;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("recv: ") + std::strerror(errno);
            return false;
        }
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool CashClient::exchange(const std::string& request, int timeoutMs, std::string& code, std::string& error)
{
    const long long deadline = monotonicMs() + timeoutMs;
    // Bytes after the last answer's end (its closing blank lines) belong to no answer.
    buffer_.clear();
    if (!sendAll(fd_, request)) {
        error = std::string("send: ") + std::strerror(errno);
        return false;
    }
    if (!readUntil("</mess>", deadline, error))
        return false;
    size_t b = buffer_.find("<code>");
    size_t e = b == std::string::npos ? b : buffer_.find("</code>", b);
    code = e == std::string::npos ? "" : buffer_.substr(b + 6, e - b - 6);
    buffer_.erase(0, buffer_.find("</mess>") + 7);
    return true;
}
