// The soak's books: what every PIN pad received and answered (read back from its event
// log), joined with what the cash registers sent and got, and checked against the
// reversal rules.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "plan.h"
#include "register.h"

// When the server owes a request its first document at the latest, as the soak's
// configuration gives it.
struct DueTimes {
    long long requestMs = 0;    // pur_timeout and ref_timeout, from when the PIN pad got it
    // A request taken while a ping is outstanding goes out only after the ping's answer
    // (png_timeout) and the 5 s countdown that follows it.
    long long queueMs = 0;
    // A terminal that connects while a request is outstanding is given 20 s to answer it.
    long long reconnectMs = 0;
    long long marginMs = 0;     // countdowns are lower bounds, and the daemon is loaded
};

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
    // Requests whose first document came by their due time; those whose connection ended
    // before it without one, by the soak (a hang-up, or a wait that ended) or by the
    // server; those answered with another request's answer instead (reported as that).
    unsigned inTime = 0;
    unsigned closedBeforeDue = 0;
    unsigned lostBeforeDue = 0;
    unsigned foreignInstead = 0;
    // Requests that had no document while their register stayed connected past their due
    // time; each is a violation.
    unsigned unanswered = 0;
    long long closestMs = -1;        // the least time by which a first document beat its due time
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
             long long marginMs, const DueTimes& due);
