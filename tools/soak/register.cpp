#include "register.h"

#include <algorithm>
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

// The request type code a register sends for a kind, and the answer type code the server
// writes for the terminal's answer to it; a purchase for anything else.
struct KindCodes {
    const char* kind;
    const char* request;
    const char* answer;
};
const KindCodes KIND_CODES[] = {
    {"PUR", "0200000000", "0210000000"},
    {"REF", "0200200000", "0210200000"},
    {"AUT", "0200930000", "0210930000"},
};

const KindCodes& codesOf(const std::string& kind)
{
    for (const KindCodes& k : KIND_CODES)
        if (kind == k.kind)
            return k;
    return KIND_CODES[0];
}

const char* typeCode(const std::string& kind) { return codesOf(kind).request; }

const char* answerType(const std::string& kind) { return codesOf(kind).answer; }

// A request that has not had its own answer may still get it late: after its 912, or on
// a later connection of the register that the server has registered for its number.
bool stillDue(Operation::Outcome outcome)
{
    return outcome == Operation::NoAnswer || outcome == Operation::HungUp || outcome == Operation::GaveUp ||
           outcome == Operation::Foreign;
}

// A dropped PIN pad is waited for 20 s after it reconnects, and only then is its request
// answered 912.
const long long kOwnAnswerAfterLateMs = 30000;

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
    case Operation::Foreign: return "answered with another request's answer";
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
    // What came after the last answer: late answers of earlier requests, or documents
    // that the server sent for one of them although they are another request's.
    drainInput();
    std::string doc;
    while (nextDocument(0, doc)) {
        const Belongs b = judge(doc, nullptr);
        if (b == Belongs::Foreign)
            noteForeign(doc, nullptr, "between requests");
        else
            ++stray_;
    }
    ops_.push_back(Operation{});
    Operation& op = ops_.back();
    op.kkm = kkm;
    op.kind = kind;
    op.amount = amounts_.fetch_add(1);
    const std::string request = "<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><type>" + std::string(typeCode(kind)) +
                                "</type><amount>" + std::to_string(op.amount) + "</amount><kkm>" +
                                std::to_string(kkm) + "</kkm></mess>";
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

// Whose answer a document is: the request in hand's (its number, and for a terminal's
// answer its kind and amount; an error answer carries no amount, and the server sends one
// only for the request in hand), the late answer of an earlier request of ours, or
// another request's.
Register::Belongs Register::judge(const std::string& doc, const Operation* current)
{
    if (doc.find("<mess>") == std::string::npos)
        return Belongs::Stray;  // the rest of a document whose start was read with a drain
    const unsigned long long kkm = number(element(doc, "kkm"));
    const std::string type = element(doc, "type");
    const unsigned long long amount = number(element(doc, "amount"));
    if (current && kkm == current->kkm &&
        (type.empty() || (type == answerType(current->kind) && amount == current->amount)))
        return Belongs::Own;
    if (type.empty())
        return Belongs::Stray;
    // Amounts are unique over the run, so at most one request of ours can match.
    for (auto it = ops_.rbegin(); it != ops_.rend(); ++it) {
        Operation& earlier = *it;
        if (&earlier == current || earlier.kkm != kkm || earlier.amount != amount || type != answerType(earlier.kind))
            continue;
        if (!stillDue(earlier.outcome) || earlier.lateAnswered)
            return Belongs::Foreign;  // it had its answer already
        earlier.lateAnswered = true;
        return Belongs::Late;
    }
    return Belongs::Foreign;
}

void Register::noteForeign(const std::string& doc, const Operation* current, const char* why)
{
    const unsigned kkm = static_cast<unsigned>(number(element(doc, "kkm")));
    // The request the server answered with it: the one in hand, or our last one for its number.
    const Operation* target = current && current->kkm == kkm ? current : nullptr;
    for (auto it = ops_.rbegin(); !target && it != ops_.rend(); ++it)
        if (it->kkm == kkm)
            target = &*it;
    std::string text = "terminal " + std::to_string(kkm) + ": ";
    text += target ? target->kind + " amount " + std::to_string(target->amount) : std::string("no request of ours");
    text += " answered with type " + element(doc, "type") + " amount " + element(doc, "amount") + " trace " +
            element(doc, "trace") + " code " + element(doc, "code") + " (" + why + ")";
    foreign_.push_back(text);
}

void Register::await(Operation& op, long long deadlineMs)
{
    if (fd_ < 0)
        return;
    std::string doc, late;
    while (nextDocument(deadlineMs, doc)) {
        switch (judge(doc, &op)) {
        case Belongs::Own:
            op.code = element(doc, "code");
            if (!element(doc, "type").empty())
                op.outcome = Operation::Answered;
            else
                op.outcome = op.code == "912"   ? Operation::NoAnswer
                             : op.code == "914" ? Operation::Busy
                             : op.code == "911" ? Operation::NotThere
                                                : Operation::OtherError;
            return;
        case Belongs::Late:
            ++stray_;
            // Written just before the server took this request, or taken by the server for
            // this request's answer: only whether this request's own answer still comes
            // tells the two apart.
            if (number(element(doc, "kkm")) == op.kkm && late.empty()) {
                late = doc;
                deadlineMs = std::max(deadlineMs, monotonicMs() + kOwnAnswerAfterLateMs);
            }
            continue;
        case Belongs::Stray:
            ++stray_;
            continue;
        case Belongs::Foreign:
            noteForeign(doc, &op, "while a request was outstanding");
            if (number(element(doc, "kkm")) == op.kkm) {
                op.code = element(doc, "code");
                op.outcome = Operation::Foreign;
                return;
            }
            continue;
        }
    }
    if (!late.empty()) {
        noteForeign(late, &op, "its own answer never came after it");
        op.outcome = Operation::Foreign;
    } else {
        op.outcome = Operation::GaveUp;
    }
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
            else if (op.outcome == Operation::GaveUp || op.outcome == Operation::Foreign)
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
