// A cash register of the soak: one connection to the cash-register port, serving a fixed
// set of terminal numbers (so that no other connection takes them over), one request at a
// time, sometimes hanging up before its answer. Every request is recorded for the checks,
// and every document it gets is checked to belong to its own request.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct Operation {
    enum Outcome {
        Answered,   // the terminal's answer came back as the first document
        NoAnswer,   // error answer 912 first
        Busy,       // 914
        NotThere,   // 911
        OtherError, // any other error answer
        HungUp,     // the register closed before its answer, on purpose
        GaveUp,     // no document in time, or the connection ended; closed
        Foreign,    // answered with a document of another request, not its own
    };
    unsigned kkm = 0;
    std::string kind;  // PUR, REF or AUT
    unsigned amount = 0;
    long long sentMs = 0;
    long long closedMs = -1;  // when the register closed with the answer still due
    Outcome outcome = GaveUp;
    std::string code;  // of the first document
    bool lateAnswered = false;  // a document of its own came after its await had ended
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

    // Requests with faults until `stop` is set; hangUpPerMille of them are abandoned.
    void run(const std::atomic<bool>& stop, int hangUpPerMille);

    // Connects and reads the greeting, retrying until `deadlineMs`; true when connected.
    bool open(long long deadlineMs);
    void close();

    const std::vector<Operation>& operations() const { return ops_; }
    unsigned strayDocuments() const { return stray_; }
    // Every document that answered one of our requests with another request's answer,
    // described with the request it came for.
    const std::vector<std::string>& foreignAnswers() const { return foreign_; }

private:
    Operation& send(unsigned kkm, const std::string& kind);
    void await(Operation& op, long long deadlineMs);
    bool nextDocument(long long deadlineMs, std::string& doc);
    void drainInput();
    enum class Belongs { Own, Late, Stray, Foreign };
    Belongs judge(const std::string& doc, const Operation* current);
    void noteForeign(const std::string& doc, const Operation* current, const char* why);

    uint16_t port_;
    std::vector<unsigned> kkms_;
    std::vector<long long> holdUntil_;  // per entry of kkms_
    std::mt19937 random_;
    std::atomic<unsigned>& amounts_;
    int fd_ = -1;
    std::string input_;
    std::vector<Operation> ops_;
    unsigned stray_ = 0;
    std::vector<std::string> foreign_;
};

// The value of the first element `name` in an answer document, empty when absent.
std::string element(const std::string& doc, const char* name);

// A purchase on terminal `kkm` that must come back approved within `deadlineMs`, retried
// while the terminal is busy: the daemon still serves. False with what came back otherwise.
bool freshPurchase(uint16_t port, unsigned kkm, unsigned amount, long long deadlineMs, std::string& detail);
