// What each simulated PIN pad of the soak does with its requests, drawn at random from a
// seed before the run: one step list per request kind, handed to the PIN pad as its rules
// and kept here so that the checks know which answer the n-th request of a kind got.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

enum class Fault {
    Approve,     // answered at once
    Decline,     // refused at once
    Slow,        // answered within the request's timeout
    Silent,      // never answered
    Garbage,     // bytes that are no frame
    BadTlv,      // a frame the server cannot parse
    Late,        // answered after the request's timeout
    Split,       // answered in two writes far apart, which the server reads as two broken messages
    Disconnect,  // the PIN pad drops the connection instead of answering
    Refuse,      // a reversal refused
    AcceptCode,  // a reversal accepted by its response code only (B4 or 930)
};

const char* faultName(Fault fault);

// The request left without a usable answer, so the server has to reverse it.
bool unanswered(Fault fault);

struct Planned {
    Fault fault = Fault::Approve;
    int delayMs = 0;           // Slow, Late; the gap between the halves for Split
    const char* code = "";     // the response code for AcceptCode
};

struct Timing {
    int requestTimeoutMs = 2000;  // pur_timeout and ref_timeout
    int reversalTimeoutMs = 1000; // voi_timeout
    int pingTimeoutMs = 2000;     // png_timeout
};

class TerminalPlan {
public:
    // `requests` steps for each financial kind and the reversals, fewer for the pings.
    TerminalPlan(std::mt19937& random, const Timing& timing, size_t requests);

    // The PIN pad rules, "KIND=STEP,STEP,..."; the last step of each repeats for ever.
    std::vector<std::string> rules() const;

    // The step of the index-th request of a kind (PUR, REF, AUT, VOI, PNG), counted from 0.
    const Planned& step(const std::string& kind, size_t index) const;

private:
    struct Kind {
        std::string name;
        std::vector<Planned> steps;
    };
    const Kind* find(const std::string& kind) const;

    std::vector<Kind> kinds_;
};
