// What the simulated PIN pad does with each request: rules per request kind, each a
// sequence of steps whose last step repeats.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pinpad {

enum class Verb {
    Approve,     // answer as approved (a reversal as accepted)
    Decline,     // answer with a refusing response code (a reversal as refused)
    Silent,      // never answer
    Garbage,     // bytes that are no frame at all
    BadTlv,      // a well-formed frame around a TLV message that ends inside a value
    Disconnect,  // close the connection instead of answering
};

struct Step {
    Verb verb = Verb::Approve;
    std::string code;   // response code; empty means the verb's default
    int delayMs = 0;    // answer this long after the request
    bool split = false; // the answer in two writes...
    int gapMs = 50;     // ...this far apart
    bool twice = false; // the answer frame twice in one write
    // A message nobody asked for, sent at once, before the answer: its kind text,
    // "-" for one without a kind field; empty for none.
    std::string notice;
};

// Kinds are the request's text in field 0x01 (PUR, VOI, REF, STL, AUT, CMP, PNG, FUN,
// VER, PIN), KEY for a key loading (FUN with function 07), and * for every kind
// without a rule of its own.
class Script {
public:
    // "KIND=STEP[,STEP...]", a step being
    // [COUNT*]VERB[:ARG][/split[:GAP_MS]][/double][/notice:KIND][@DELAY_MS].
    // Verbs: approve|accept [:CODE], decline|refuse [:CODE], late:MS, silent, garbage,
    // badtlv, disconnect, split[:GAP_MS], double. False with a message on a bad rule.
    bool addRule(const std::string& rule, std::string& error);

    // One rule a line; blank lines and "#" comments are skipped.
    bool load(const std::string& path, std::string& error);

    // The step for the next request of this kind; with no rule at all: approve.
    Step next(const std::string& kind);

private:
    struct Rule {
        std::vector<Step> steps;
        size_t used = 0;
    };
    std::map<std::string, Rule> rules_;
};

// Parses one step; exposed for the tests.
bool parseStep(const std::string& text, Step& step, int& count, std::string& error);

}  // namespace pinpad
