#include "register.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "cashclient.h"
#include "loopback.h"

namespace {

void sleepMs(long long ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const char* typeCode(const std::string& kind)
{
    if (kind == "REF")
        return "0200200000";
    if (kind == "AUT")
        return "0200930000";
    return "0200000000";
}

bool approved(const std::string& code)
{
    return code == "0" || code == "00" || code == "000";
}

unsigned long long number(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

const char* outcomeName(Operation::Outcome outcome)
{
    switch (outcome) {
    case Operation::Answered: return "answered by the terminal";
    case Operation::NoAnswer: return "912 no answer";
    case Operation::Busy: return "914 busy";
    case Operation::NotThere: return "911 not connected";
    case Operation::OtherError: return "other error answer";
    case Operation::HungUp: return "register hung up before the answer";
    case Operation::GaveUp: return "nothing in time, register closed";
    }
    return "?";
}

std::string element(const std::string& doc, const char* name)
{
    const std::string open = std::string("<") + name + ">";
    const std::string close = std::string("</") + name + ">";
    size_t b = doc.find(open);
    if (b == std::string::npos)
        return "";
    b += open.size();
    size_t e = doc.find(close, b);
    return e == std::string::npos ? "" : doc.substr(b, e - b);
}

Register::Register(uint16_t port, std::vector<unsigned> kkms, unsigned seed, std::atomic<unsigned>& amounts)
    : port_(port), kkms_(std::move(kkms)), holdUntil_(kkms_.size(), 0), random_(seed), amounts_(amounts)
{
}

Register::~Register()
{
    close();
}

void Register::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    input_.clear();
}

bool Register::open(long long deadlineMs)
{
    while (fd_ < 0 && monotonicMs() < deadlineMs) {
        fd_ = loopbackSocket();
        if (fd_ < 0)
            return false;
        std::string greeting;
        // The server closes a connection beyond its fifty at once, before the greeting;
        // one of ours that has just hung up may still be counted there, so try again.
        if (!connectLoopback(fd_, port_) ||
            !nextDocument(std::min(deadlineMs, monotonicMs() + 2000), greeting)) {
            close();
            sleepMs(50);
            continue;
        }
    }
    return fd_ >= 0;
}

Operation& Register::send(unsigned kkm, const std::string& kind)
{
    ops_.push_back(Operation{});
    Operation& op = ops_.back();
    op.kkm = kkm;
    op.kind = kind;
    op.amount = amounts_.fetch_add(1);
    const std::string request = "<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><type>" + std::string(typeCode(kind)) +
                                "</type><amount>" + std::to_string(op.amount) + "</amount><kkm>" +
                                std::to_string(kkm) + "</kkm></mess>";
    // Stray documents that came after the last answer belong to no request of ours.
    drainInput();
    input_.clear();
    op.sentMs = monotonicMs();
    if (!sendAll(fd_, request)) {
        op.outcome = Operation::GaveUp;
        op.closedMs = monotonicMs();
        close();
    }
    return op;
}

// Reads one document: the greeting line, or an answer up to its "</mess>".
bool Register::nextDocument(long long deadlineMs, std::string& doc)
{
    for (;;) {
        size_t end = input_.find("</mess>");
        size_t line = input_.find("\r\n");
        if (line != std::string::npos && input_.compare(0, 1, "<") != 0) {
            doc = input_.substr(0, line);
            input_.erase(0, line + 2);
            return true;
        }
        if (end != std::string::npos) {
            doc = input_.substr(0, end + 7);
            input_.erase(0, end + 7);
            // The CR LF CR LF after an answer, and any NUL padding, start no document.
            size_t next = input_.find('<');
            input_.erase(0, next == std::string::npos ? input_.size() : next);
            return true;
        }
        long long left = deadlineMs - monotonicMs();
        if (left <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        input_.append(buf, static_cast<size_t>(n));
    }
}

void Register::drainInput()
{
    char buf[4096];
    while (fd_ >= 0) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return;
        input_.append(buf, static_cast<size_t>(n));
    }
}

void Register::await(Operation& op, long long deadlineMs)
{
    if (fd_ < 0)
        return;
    std::string doc;
    while (nextDocument(deadlineMs, doc)) {
        if (number(element(doc, "kkm")) != op.kkm) {
            ++stray_;
            continue;
        }
        if (element(doc, "type").empty()) {
            // An error answer carries no amount; none of an earlier request can still come.
            op.code = element(doc, "code");
            op.outcome = op.code == "912"   ? Operation::NoAnswer
                         : op.code == "914" ? Operation::Busy
                         : op.code == "911" ? Operation::NotThere
                                            : Operation::OtherError;
            return;
        }
        if (number(element(doc, "amount")) == op.amount) {
            op.code = element(doc, "code");
            op.outcome = Operation::Answered;
            return;
        }
        // A late answer to an earlier request, which came after its 912.
        ++stray_;
    }
    op.outcome = Operation::GaveUp;
    op.closedMs = monotonicMs();
    close();
}

bool Register::warmUp(long long deadlineMs, std::string& error)
{
    for (unsigned kkm : kkms_) {
        bool done = false;
        while (!done && monotonicMs() < deadlineMs) {
            if (!open(deadlineMs))
                break;
            Operation& op = send(kkm, "PUR");
            await(op, std::min(deadlineMs, monotonicMs() + 6000));
            done = op.outcome == Operation::Answered && approved(op.code);
            if (!done) {
                error = "terminal " + std::to_string(kkm) + ": " + outcomeName(op.outcome) +
                        (op.code.empty() ? "" : " (code " + op.code + ")");
                sleepMs(100);
            }
        }
        if (!done) {
            if (error.empty())
                error = "terminal " + std::to_string(kkm) + ": no connection to the cash-register port";
            return false;
        }
    }
    error.clear();
    return true;
}

void Register::run(const std::atomic<bool>& stop, int hangUpPerMille)
{
    auto draw = [this](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
    while (!stop.load()) {
        if (!open(monotonicMs() + 1000))
            continue;
        const long long now = monotonicMs();
        std::vector<size_t> ready;
        for (size_t i = 0; i < kkms_.size(); ++i)
            if (holdUntil_[i] <= now)
                ready.push_back(i);
        if (ready.empty()) {
            sleepMs(20);
            continue;
        }
        const size_t pick = ready[static_cast<size_t>(draw(0, static_cast<int>(ready.size()) - 1))];
        const int k = draw(0, 99);
        Operation& op = send(kkms_[pick], k < 60 ? "PUR" : k < 85 ? "REF" : "AUT");
        if (fd_ >= 0 && draw(0, 999) < hangUpPerMille) {
            sleepMs(draw(0, 80));
            // Unread bytes at close would turn our FIN into a reset.
            drainInput();
            close();
            op.closedMs = monotonicMs();
            op.outcome = Operation::HungUp;
            holdUntil_[pick] = op.closedMs + 1500;
        } else {
            // Long enough for a request queued behind a ping (its answer, 5 s, then the timeout).
            await(op, monotonicMs() + 12000);
            if (op.outcome == Operation::Busy || op.outcome == Operation::NotThere)
                holdUntil_[pick] = monotonicMs() + 300;
            else if (op.outcome == Operation::GaveUp)
                holdUntil_[pick] = monotonicMs() + 1500;
        }
        sleepMs(draw(20, 150));
    }
}

bool freshPurchase(uint16_t port, unsigned kkm, unsigned amount, long long deadlineMs, std::string& detail)
{
    std::atomic<unsigned> amounts{amount};
    Register reg(port, {kkm}, 1, amounts);
    return reg.warmUp(deadlineMs, detail);
}
