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

std::string describe(unsigned terminal, const Seen& s)
{
    return "terminal " + std::to_string(terminal) + " " + s.kind + " trace " + std::to_string(s.trace) + " amount " +
           std::to_string(s.amount) + " (" + faultName(s.fault) + ")";
}

}  // namespace

Ledger audit(const std::vector<LogSource>& logs, const std::vector<const Operation*>& ops, unsigned voiRepeat,
             long long marginMs)
{
    Ledger ledger;
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
                }
            } else if (financial(kind) || kind == "VOI") {
                const unsigned long long trace = number(fieldOf(line, "83")), amount = number(fieldOf(line, "84"));
                auto it = index.find({trace, amount});
                if (financial(kind) && it != index.end() && seen[it->second].answerMs < 0)
                    seen[it->second].answerMs = at;
            }
        }

        for (const Seen& s : seen) {
            auto found = byAmount.find(s.amount);
            const Operation* op = found == byAmount.end() ? nullptr : found->second;
            const unsigned reversals = static_cast<unsigned>(s.reversalsMs.size());
            ledger.mostReversals = std::max(ledger.mostReversals, reversals);
            if (reversals > voiRepeat + 1)
                ledger.violations.push_back(describe(src.terminal, s) + ": " + std::to_string(reversals) +
                                            " reversals, more than " + std::to_string(voiRepeat + 1));
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
        }
    }
    return ledger;
}
