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

bool approved(const std::string& code)
{
    return code == "0" || code == "00" || code == "000";
}

unsigned long long number(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 10);
}

std::string describeDocument(const std::string& doc)
{
    if (doc.find("<mess>") == std::string::npos)
        return "a document without <mess> (" + doc.substr(0, 60) + ")";
    return "type " + element(doc, "type") + " amount " + element(doc, "amount") + " trace " + element(doc, "trace") +
           " code " + element(doc, "code");
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
    case Operation::Unanswered: return "nothing in the wait, register closed";
    case Operation::Lost: return "connection closed by the server before a document";
    case Operation::Foreign: return "another request's answer instead of its own";
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
    lost_ = false;
    input_.clear();
}

void Register::closeNow(Operation& op, Operation::Outcome outcome)
{
    op.outcome = outcome;
    op.closedMs = monotonicMs();
    close();
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
        ++connection_;
    }
    return fd_ >= 0;
}

Operation& Register::send(unsigned kkm, const std::string& kind)
{
    // Whatever came after the last answer is a second answer or another request's.
    takeArrived(nullptr, "between requests");
    ops_.push_back(Operation{});
    Operation& op = ops_.back();
    op.kkm = kkm;
    op.kind = kind;
    op.amount = amounts_.fetch_add(1);
    op.connection = connection_;
    const std::string request = "<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><type>" + std::string(typeCode(kind)) +
                                "</type><amount>" + std::to_string(op.amount) + "</amount><kkm>" +
                                std::to_string(kkm) + "</kkm></mess>";
    op.sentMs = monotonicMs();
    if (lost_ || fd_ < 0 || !sendAll(fd_, request))
        closeNow(op, Operation::Lost);
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
        if (n <= 0) {
            lost_ = true;
            return false;
        }
        input_.append(buf, static_cast<size_t>(n));
    }
}

void Register::drainInput()
{
    char buf[4096];
    while (fd_ >= 0) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            lost_ = true;
        if (n <= 0)
            return;
        input_.append(buf, static_cast<size_t>(n));
    }
}

// Ours among the requests of earlier connections that a document answers: the one it
// names by number, kind and amount, or for an error answer (which carries no amount) the
// last one for its number that got no document there.
const Operation* Register::elsewhere(const std::string& doc) const
{
    const unsigned long long kkm = number(element(doc, "kkm"));
    const std::string type = element(doc, "type");
    const unsigned long long amount = number(element(doc, "amount"));
    for (auto it = ops_.rbegin(); it != ops_.rend(); ++it)
        if (it->connection != connection_ && it->kkm == kkm &&
            (type.empty() ? it->documents == 0 : type == answerType(it->kind) && it->amount == amount))
            return &*it;
    return nullptr;
}

// The request of this connection that a document answers, or null for none. A terminal's
// answer names its request by number, kind and amount (amounts are unique over the run).
// An error answer carries no amount: it answers the connection's last request for its
// number, since a connection sends its next request only once the last one has had a
// document, so no earlier one can still be waiting for its first. When that one has had
// its document and an earlier connection left one for the number without any, the error
// answer is counted as that one's: another connection's answer rather than a second one.
Operation* Register::whose(const std::string& doc)
{
    if (doc.find("<mess>") == std::string::npos)
        return nullptr;
    const unsigned long long kkm = number(element(doc, "kkm"));
    const std::string type = element(doc, "type");
    const unsigned long long amount = number(element(doc, "amount"));
    for (auto it = ops_.rbegin(); it != ops_.rend() && it->connection == connection_; ++it)
        if (it->kkm == kkm && (type.empty() || (type == answerType(it->kind) && it->amount == amount)))
            return type.empty() && it->documents > 0 && elsewhere(doc) ? nullptr : &*it;
    return nullptr;
}

std::string Register::describe(const Operation& op, bool outcome) const
{
    return op.kind + " amount " + std::to_string(op.amount) + " on connection " + std::to_string(op.connection) +
           (outcome ? std::string(" (") + outcomeName(op.outcome) + ")" : std::string());
}

Register::Took Register::take(const std::string& doc, Operation* inHand, const char* when, Operation*& op)
{
    op = whose(doc);
    if (!op) {
        std::string text = "terminal " + element(doc, "kkm") + ": " + describeDocument(doc) + " on connection " +
                           std::to_string(connection_) + ", which sent no request it answers (" + when;
        if (inHand)
            text += ", " + describe(*inHand, false) + " in hand";
        text += "); ";
        if (const Operation* other = doc.find("<mess>") == std::string::npos ? nullptr : elsewhere(doc))
            text += std::string(element(doc, "type").empty() ? "perhaps the error answer of " : "the answer of ") +
                    describe(*other, true);
        else
            text += "no request of ours";
        foreign_.push_back(text);
        return Took::Foreign;
    }
    if (++op->documents == 1) {
        op->firstMs = monotonicMs();
        return Took::First;
    }
    second_.push_back("terminal " + std::to_string(op->kkm) + ": " + describe(*op, false) + ", first answered with code " +
                      op->code + ", got document " + std::to_string(op->documents) + ": " + describeDocument(doc) +
                      " (" + when + ")");
    return Took::Second;
}

void Register::settle(Operation& op, const std::string& doc)
{
    op.code = element(doc, "code");
    if (!element(doc, "type").empty())
        op.outcome = Operation::Answered;
    else
        op.outcome = op.code == "912"   ? Operation::NoAnswer
                     : op.code == "914" ? Operation::Busy
                     : op.code == "911" ? Operation::NotThere
                                        : Operation::OtherError;
}

bool Register::takeArrived(Operation* inHand, const char* when)
{
    drainInput();
    bool first = false;
    std::string doc;
    Operation* op = nullptr;
    while (nextDocument(0, doc))
        if (take(doc, inHand, when, op) == Took::First) {
            settle(*op, doc);
            first = first || op == inHand;
        }
    return first;
}

void Register::await(Operation& op, long long deadlineMs)
{
    bool foreign = false;
    std::string doc;
    Operation* whom = nullptr;
    while (fd_ >= 0 && nextDocument(deadlineMs, doc)) {
        switch (take(doc, &op, "while a request was outstanding", whom)) {
        case Took::First:
            settle(*whom, doc);
            if (whom == &op)
                return;
            break;
        case Took::Second:
            break;
        case Took::Foreign:
            // Perhaps the server took it for this request's answer; perhaps its own follows.
            foreign = foreign || number(element(doc, "kkm")) == op.kkm;
            break;
        }
    }
    // What came as the wait ended is still read, so that the close sends no reset.
    if (fd_ >= 0 && takeArrived(&op, "as its wait ended"))
        return;
    closeNow(op, foreign ? Operation::Foreign : lost_ ? Operation::Lost : Operation::Unanswered);
}

bool Register::warmUp(long long deadlineMs, std::string& error)
{
    for (unsigned kkm : kkms_) {
        bool done = false;
        while (!done && monotonicMs() < deadlineMs) {
            if (!open(deadlineMs))
                break;
            Operation& op = send(kkm, "PUR");
            // No fault is injected yet, so it may take up to the end of the warm-up.
            await(op, deadlineMs);
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

void Register::run(const std::atomic<bool>& stop, int hangUpPerMille, long long waitMs)
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
            // Unread bytes at close would turn our FIN into a reset; what came is checked.
            if (takeArrived(&op, "before a hang-up"))
                close();
            else
                closeNow(op, Operation::HungUp);
            holdUntil_[pick] = monotonicMs() + 1500;
        } else {
            await(op, monotonicMs() + waitMs);
            if (op.outcome == Operation::Busy || op.outcome == Operation::NotThere)
                holdUntil_[pick] = monotonicMs() + 300;
            else if (fd_ < 0)
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
