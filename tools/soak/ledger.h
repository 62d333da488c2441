// The soak's books: what every PIN pad received and answered (read back from its event
// log), joined with what the cash registers sent and got, and checked against the
// reversal rules.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "plan.h"
#include "register.h"

struct Ledger {
    // Requests that reached the PIN pads, by their planned fault.
    std::map<std::string, unsigned> requestFaults;
    std::map<std::string, unsigned> reversalFaults;
    std::map<std::string, unsigned> pingFaults;
    unsigned requestsAtTerminals = 0;
    unsigned reversalsSeen = 0;      // VOI messages received by the PIN pads
    unsigned mustReverse = 0;        // requests that had to be reversed
    unsigned reversed = 0;           // ...and were
    unsigned mostReversals = 0;      // for one request
    unsigned deliveredChecked = 0;   // answered requests checked for no reversal
    // Requests that reached a PIN pad and whose cash register got another request's
    // answer for them; each is a violation that the cash register reports.
    unsigned foreignAnswered = 0;
    unsigned drops = 0;              // connections of the PIN pads that ended
    std::vector<std::string> violations;
};

struct LogSource {
    unsigned terminal = 0;
    std::string path;
    long long startMs = 0;  // the log's clock origin on the monotonicMs scale
    const TerminalPlan* plan = nullptr;
};

// marginMs: how much earlier than the terminal's answer a register must have hung up for
// the server to have seen the hang-up first.
Ledger audit(const std::vector<LogSource>& logs, const std::vector<const Operation*>& ops, unsigned voiRepeat,
             long long marginMs);
