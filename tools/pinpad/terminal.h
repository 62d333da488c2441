// One simulated PIN pad, without sockets or a clock of its own: the caller hands it the
// bytes read and the current time, and takes the writes and the close that fall due.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "script.h"
#include "tlv.h"
#include "tracelog.h"

namespace pinpad {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct Output {
    enum Kind { Write, Close };
    TimePoint when;
    Kind kind;
    std::string bytes;
    std::string note;  // the log line for it
};

struct Identity {
    std::string card = "4111111111111111";  // VISA test number
    std::string terminalId = "00012345";
};

class Terminal {
public:
    explicit Terminal(Script& script, Identity identity = Identity(), TraceLog* log = nullptr);

    // A new connection: whatever was half read or still due on the old one is dropped.
    // With unsolicitedMs >= 0 an unasked approved purchase answer goes out that long after.
    void connected(TimePoint now, int unsolicitedMs = -1);

    void received(const std::string& data, TimePoint now);

    // The outputs due at `now`, in time order, taken off the queue and logged.
    std::vector<Output> due(TimePoint now);

    bool hasPending() const { return !pending_.empty(); }
    TimePoint nextDue() const;

    // The answer fields for a request under a step; exposed for the tests.
    Fields answer(const Fields& request, const Step& step);

    // A message of this kind ("-": without field 0x81) that nobody asked for.
    Fields notice(const Fields& request, const std::string& kind);

    // The rule kind of a request: its field 0x01, KEY for a key loading.
    static std::string ruleKind(const Fields& request);

private:
    void handle(const std::string& tlv, TimePoint now);
    void schedule(Output out);
    void log(const std::string& text);

    Script& script_;
    Identity identity_;
    TraceLog* log_;
    std::string input_;
    std::deque<Output> pending_;  // sorted by `when`
    unsigned sequence_ = 0;
};

}  // namespace pinpad
