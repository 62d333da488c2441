#include "ledger.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// One purchase, refund or authorisation as a PIN pad saw it.
struct Seen {
    std::string kind;
    unsigned long long trace = 0;
    unsigned long long amount = 0;
    long long recvMs = 0;
    long long answerMs = -1;
    Fault fault = Fault::Approve;
    std::vector<long long> reversalsMs;
};

struct Line {
    long long ms = 0;
    std::vector<std::string> words;
};

bool parseLine(const std::string& text, Line& line)
{
    std::istringstream in(text);
    std::string word;
    if (!(in >> line.ms))
        return false;
    line.words.clear();
    while (in >> word)
        line.words.push_back(word);
    return !line.words.empty();
}

// The value of field `tag` (lower-case hex as the log writes it), or "" when absent.
std::string fieldOf(const Line& line, const char* tag)
{
    const std::string prefix = std::string(tag) + "=";
    for (size_t i = 2; i < line.words.size(); ++i)
        if (line.words[i].compare(0, prefix.size(), prefix) == 0)
            return line.words[i].substr(prefix.size());
    return "";
}

unsigned long long number(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 10);
}

bool financial(const std::string& kind)
{
    return kind == "PUR" || kind == "REF" || kind == "AUT";
}

// What one PIN pad's log tells about the reach of a request that it may never have got.
struct PadEvents {
    std::vector<long long> connectsMs;
    std::vector<std::pair<long long, Fault>> pings;
};

struct Arrival {
    long long ms = 0;
    Fault fault = Fault::Approve;
};

// The latest time at which the server may give a request its first document: its own
// timeout from when its PIN pad got it (or, when it never did, from when it might have
// gone out after a ping), and 20 s from any connect of the PIN pad before that.
long long dueMs(long long sentMs, long long reachedMs, const std::vector<long long>& connectsMs, const DueTimes& t)
{
    long long due = (reachedMs >= 0 ? reachedMs : sentMs + t.queueMs) + t.requestMs;
    for (long long c : connectsMs)
        if (c >= sentMs && c <= due)
            due = std::max(due, c + t.reconnectMs);
    return due + t.marginMs;
}

std::string describe(unsigned terminal, const Seen& s)
{
    return "terminal " + std::to_string(terminal) + " " + s.kind + " trace " + std::to_string(s.trace) + " amount " +
           std::to_string(s.amount) + " (" + faultName(s.fault) + ")";
}

}  // namespace

Ledger audit(const std::vector<LogSource>& logs, const std::vector<const Operation*>& ops, unsigned voiRepeat,
             long long marginMs, const DueTimes& times)
{
    Ledger ledger;
    std::map<unsigned, PadEvents> pads;
    std::map<unsigned long long, Arrival> arrivals;  // by amount, the first time a PIN pad got it
    std::map<unsigned long long, const Operation*> byAmount;
    std::map<unsigned, std::vector<long long>> sendsByKkm;
    for (const Operation* op : ops) {
        byAmount[op->amount] = op;
        sendsByKkm[op->kkm].push_back(op->sentMs);
    }
    for (auto& entry : sendsByKkm)
        std::sort(entry.second.begin(), entry.second.end());
    // Another request for the same number in [from, to] registers a connection for it
    // again, so an answer the server got then may have found a cash register after all.
    auto sentBetween = [&](unsigned kkm, long long from, long long to) {
        const std::vector<long long>& sends = sendsByKkm[kkm];
        auto it = std::upper_bound(sends.begin(), sends.end(), from);
        return it != sends.end() && *it <= to;
    };

    for (const LogSource& src : logs) {
        std::ifstream in(src.path);
        std::vector<Seen> seen;
        std::map<std::pair<unsigned long long, unsigned long long>, size_t> index;
        std::map<std::string, size_t> count;
        std::string text;
        Line line;
        while (std::getline(in, text)) {
            if (!parseLine(text, line))
                continue;
            const std::string& event = line.words[0];
            const long long at = src.startMs + line.ms;
            if (event == "closed" && line.words.size() >= 3 && line.words[1] == "by") {
                ++ledger.drops;
                continue;
            }
            if (event == "connect" && line.words.size() >= 2 && line.words[1] != "failed") {
                pads[src.terminal].connectsMs.push_back(at);
                continue;
            }
            if ((event != "recv" && event != "send") || line.words.size() < 2)
                continue;
            const std::string& kind = line.words[1];
            if (event == "recv") {
                const size_t n = count[kind]++;
                const Fault fault = src.plan->step(kind, n).fault;
                if (financial(kind)) {
                    Seen s;
                    s.kind = kind;
                    s.trace = number(fieldOf(line, "03"));
                    s.amount = number(fieldOf(line, "04"));
                    s.recvMs = at;
                    s.fault = fault;
                    index[{s.trace, s.amount}] = seen.size();
                    seen.push_back(s);
                    arrivals.emplace(s.amount, Arrival{at, fault});
                    ++ledger.requestFaults[faultName(fault)];
                    ++ledger.requestsAtTerminals;
                } else if (kind == "VOI") {
                    ++ledger.reversalsSeen;
                    ++ledger.reversalFaults[faultName(fault)];
                    auto it = index.find({number(fieldOf(line, "03")), number(fieldOf(line, "04"))});
                    if (it == index.end())
                        ledger.violations.push_back("terminal " + std::to_string(src.terminal) +
                                                    ": reversal of no request it received: " + text);
                    else
                        seen[it->second].reversalsMs.push_back(at);
                } else if (kind == "PNG") {
                    ++ledger.pingFaults[faultName(fault)];
                    pads[src.terminal].pings.emplace_back(at, fault);
                }
            } else if (financial(kind) || kind == "VOI") {
                const unsigned long long trace = number(fieldOf(line, "83")), amount = number(fieldOf(line, "84"));
                auto it = index.find({trace, amount});
                if (financial(kind) && it != index.end() && seen[it->second].answerMs < 0)
                    seen[it->second].answerMs = at;
            }
        }

        for (size_t i = 0; i < seen.size(); ++i) {
            const Seen& s = seen[i];
            auto found = byAmount.find(s.amount);
            const Operation* op = found == byAmount.end() ? nullptr : found->second;
            const unsigned reversals = static_cast<unsigned>(s.reversalsMs.size());
            ledger.mostReversals = std::max(ledger.mostReversals, reversals);
            // An answer that came after the reversals began may be an approval that none of
            // them could undo yet: one more follows it, beyond the count.
            const bool answeredLate = s.answerMs >= 0 && !s.reversalsMs.empty() && s.reversalsMs.front() < s.answerMs;
            const unsigned allowed = voiRepeat + 1 + (answeredLate ? 1 : 0);
            if (reversals > allowed)
                ledger.violations.push_back(describe(src.terminal, s) + ": " + std::to_string(reversals) +
                                            " reversals, more than " + std::to_string(allowed));
            if (!op) {
                ledger.violations.push_back(describe(src.terminal, s) + ": no cash register sent it");
                continue;
            }
            if (op->kkm != src.terminal)
                ledger.violations.push_back(describe(src.terminal, s) + ": sent for terminal " +
                                            std::to_string(op->kkm));
            if (op->outcome == Operation::Busy || op->outcome == Operation::NotThere) {
                ledger.violations.push_back(describe(src.terminal, s) + ": reached the terminal, but the register got " +
                                            op->code);
                continue;
            }
            if (op->outcome == Operation::Foreign) {
                // A broken promise of its own, which the cash register reports.
                ++ledger.foreignAnswered;
                continue;
            }
            if (op->outcome == Operation::Answered) {
                // Delivered in time: the sale stands and must not be undone.
                ++ledger.deliveredChecked;
                if (reversals > 0)
                    ledger.violations.push_back(describe(src.terminal, s) +
                                                ": reversed although its answer reached the register");
                continue;
            }
            bool must = unanswered(s.fault) || op->outcome == Operation::NoAnswer;
            if (!must && op->closedMs >= 0 && s.answerMs >= 0 && s.answerMs - op->closedMs >= marginMs &&
                !sentBetween(op->kkm, op->closedMs, s.answerMs + marginMs))
                must = true;  // the answer found no cash register
            if (!must)
                continue;
            ++ledger.mustReverse;
            if (reversals == 0)
                ledger.violations.push_back(describe(src.terminal, s) + ", register: " + outcomeName(op->outcome) +
                                            ": never reversed");
            else
                ++ledger.reversed;
            // A late approval came after its 912 and after the reversals sent with it: one
            // of them must follow it, unless the terminal had begun another operation (a
            // request of the server's read before the approval, or key loading after a
            // reconnect) by the time the server could have read it.
            if (s.fault == Fault::Late && s.answerMs >= 0) {
                const long long readBy = s.answerMs + marginMs;
                const bool followed = std::any_of(s.reversalsMs.begin(), s.reversalsMs.end(),
                                                  [&](long long ms) { return ms >= s.answerMs; });
                const bool nextBegan = i + 1 < seen.size() && seen[i + 1].recvMs <= readBy;
                const std::vector<long long>& connects = pads[src.terminal].connectsMs;
                const bool reconnected = std::any_of(connects.begin(), connects.end(),
                                                     [&](long long ms) { return ms > s.recvMs && ms <= readBy; });
                if (!followed && !nextBegan && !reconnected)
                    ledger.violations.push_back(describe(src.terminal, s) +
                                                ": approved after its 912, and no reversal followed the approval");
            }
        }
    }

    // Every request gets a document while its register waits for it: the first by its due
    // time, unless its connection ended before that.
    for (const Operation* op : ops) {
        if (op->outcome == Operation::Foreign) {
            ++ledger.foreignInstead;
            continue;
        }
        auto found = arrivals.find(op->amount);
        const Arrival* arrival = found == arrivals.end() ? nullptr : &found->second;
        const PadEvents& pad = pads[op->kkm];
        const long long due = dueMs(op->sentMs, arrival ? arrival->ms : -1, pad.connectsMs, times);
        if (op->firstMs >= 0 && op->firstMs <= due) {
            ++ledger.inTime;
            if (ledger.closestMs < 0 || due - op->firstMs < ledger.closestMs)
                ledger.closestMs = due - op->firstMs;
            continue;
        }
        if (op->firstMs < 0 && op->closedMs >= 0 && op->closedMs <= due) {
            ++(op->outcome == Operation::Lost ? ledger.lostBeforeDue : ledger.closedBeforeDue);
            continue;
        }
        ++ledger.unanswered;
        std::string text = "terminal " + std::to_string(op->kkm) + " " + op->kind + " amount " +
                           std::to_string(op->amount) + ": no document within " + std::to_string(due - op->sentMs) +
                           " ms of its sending while its register stayed connected (";
        if (arrival) {
            // The PIN pad's log counts whole milliseconds from a start taken just after ours.
            text += "its PIN pad got it after " + std::to_string(std::max(0LL, arrival->ms - op->sentMs)) + " ms, " +
                    faultName(arrival->fault);
        } else {
            text += "it never reached its PIN pad";
            for (auto it = pad.pings.rbegin(); it != pad.pings.rend(); ++it)
                if (it->first <= op->sentMs) {
                    text += "; its last ping before it, " + std::to_string(op->sentMs - it->first) +
                            " ms earlier: " + faultName(it->second);
                    break;
                }
        }
        text += "); " + (op->firstMs >= 0 ? "the first came after " + std::to_string(op->firstMs - op->sentMs) + " ms"
                                          : "none came in the " + std::to_string(op->closedMs - op->sentMs) +
                                                " ms until its connection ended");
        ledger.violations.push_back("a request without an answer: " + text);
    }
    return ledger;
}
