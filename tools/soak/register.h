// A cash register of the soak: one connection at a time to the cash-register port,
// serving a fixed set of terminal numbers (so that no other register takes them over),
// one request at a time on a connection, sometimes hanging up before its answer. Every
// request is recorded for the checks, and every document a connection gets is put to the
// request of that connection that it answers: its first, a second one, or none of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct Operation {
    enum Outcome {
        Answered,    // the terminal's answer came back as the first document
        NoAnswer,    // error answer 912 first
        Busy,        // 914
        NotThere,    // 911
        OtherError,  // any other error answer
        HungUp,      // the register closed before its answer, on purpose
        Unanswered,  // no document by the end of its wait; the register closed
        Lost,        // the server closed the connection before a document came
        Foreign,     // no document of its own, but another request's answer for its number
    };
    unsigned kkm = 0;
    std::string kind;  // PUR, REF or AUT
    unsigned amount = 0;
    unsigned connection = 0;  // the register's connection it was sent on, counted from 1
    long long sentMs = 0;
    long long firstMs = -1;   // when its first document came
    long long closedMs = -1;  // when its connection ended with no document of its own yet
    unsigned documents = 0;   // documents of its own that came on its connection
    Outcome outcome = Unanswered;
    std::string code;  // of the first document
};

const char* outcomeName(Operation::Outcome outcome);

class Register {
public:
    Register(uint16_t port, std::vector<unsigned> kkms, unsigned seed, std::atomic<unsigned>& amounts);
    ~Register();
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    // One approved purchase on each of its terminals before `deadlineMs`; false with the
    // reason otherwise.
    bool warmUp(long long deadlineMs, std::string& error);

    // Requests with faults until `stop` is set; hangUpPerMille of them are abandoned. A
    // request is waited for waitMs, which must outlast the server's longest due time.
    void run(const std::atomic<bool>& stop, int hangUpPerMille, long long waitMs);

    // Connects and reads the greeting, retrying until `deadlineMs`; true when connected.
    bool open(long long deadlineMs);
    void close();

    const std::vector<Operation>& operations() const { return ops_; }
    // Every document that answers no request of the connection it came on, described
    // with the request it came for.
    const std::vector<std::string>& foreignAnswers() const { return foreign_; }
    // Every document beyond the first for one request, described with that request.
    const std::vector<std::string>& secondAnswers() const { return second_; }

private:
    Operation& send(unsigned kkm, const std::string& kind);
    void await(Operation& op, long long deadlineMs);
    bool nextDocument(long long deadlineMs, std::string& doc);
    void drainInput();
    // Puts every whole document that has arrived to its request; true when one of them
    // was the first of `inHand`.
    bool takeArrived(Operation* inHand, const char* when);
    // Puts one document to the request of this connection that it answers (`op`, null
    // for none); a second document or one of no request is recorded as broken.
    enum class Took { First, Second, Foreign };
    Took take(const std::string& doc, Operation* inHand, const char* when, Operation*& op);
    Operation* whose(const std::string& doc);
    const Operation* elsewhere(const std::string& doc) const;
    std::string describe(const Operation& op, bool outcome) const;
    void settle(Operation& op, const std::string& doc);
    void closeNow(Operation& op, Operation::Outcome outcome);

    uint16_t port_;
    std::vector<unsigned> kkms_;
    std::vector<long long> holdUntil_;  // per entry of kkms_
    std::mt19937 random_;
    std::atomic<unsigned>& amounts_;
    int fd_ = -1;
    unsigned connection_ = 0;  // serial of the open connection
    bool lost_ = false;        // the server has closed it
    std::string input_;
    std::vector<Operation> ops_;
    std::vector<std::string> foreign_;
    std::vector<std::string> second_;
};

// The value of the first element `name` in an answer document, empty when absent.
std::string element(const std::string& doc, const char* name);

// A purchase on terminal `kkm` that must come back approved within `deadlineMs`, retried
// while the terminal is busy: the daemon still serves. False with what came back otherwise.
bool freshPurchase(uint16_t port, unsigned kkm, unsigned amount, long long deadlineMs, std::string& detail);
