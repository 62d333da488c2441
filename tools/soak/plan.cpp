#include "plan.h"

namespace {

std::string stepText(const Planned& p)
{
    switch (p.fault) {
    case Fault::Approve:
        return "approve";
    case Fault::Decline:
        return "decline:51";
    case Fault::Slow:
    case Fault::Late:
        return "late:" + std::to_string(p.delayMs);
    case Fault::Silent:
        return "silent";
    case Fault::Garbage:
        return "garbage";
    case Fault::BadTlv:
        return "badtlv";
    case Fault::Split:
        return "split:" + std::to_string(p.delayMs);
    case Fault::Disconnect:
        return "disconnect";
    case Fault::Refuse:
        return "refuse:05";
    case Fault::AcceptCode:
        // Refused by 0xA1, accepted by the response code all the same.
        return std::string("decline:") + p.code;
    }
    return "approve";
}

int between(std::mt19937& random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

// One purchase, refund or authorisation. The weights give a fault to about one request in
// four, and keep drops rare since each holds its terminal for the server's 20 s reconnect wait.
Planned financialStep(std::mt19937& random, const Timing& t)
{
    const int r = between(random, 0, 999);
    if (r < 620)
        return {Fault::Approve, 0};
    if (r < 670)
        return {Fault::Decline, 0};
    if (r < 750)
        return {Fault::Slow, between(random, 150, t.requestTimeoutMs / 2)};
    if (r < 790)
        return {Fault::Silent, 0};
    if (r < 820)
        return {Fault::Garbage, 0};
    if (r < 840)
        return {Fault::BadTlv, 0};
    if (r < 870)
        return {Fault::Late, between(random, t.requestTimeoutMs + 1000, t.requestTimeoutMs + 2000)};
    // The halves far enough apart that no read of the server can hold both.
    if (r < 910)
        return {Fault::Split, between(random, 300, 600)};
    if (r < 915)
        return {Fault::Disconnect, 0};
    return {Fault::Approve, 0};
}

Planned reversalStep(std::mt19937& random, const Timing& t)
{
    const int r = between(random, 0, 999);
    if (r < 600)
        return {Fault::Approve, 0};
    if (r < 700)
        return {Fault::Refuse, 0};
    if (r < 800)
        return {Fault::AcceptCode, 0, between(random, 0, 1) ? "B4" : "930"};
    if (r < 870)
        return {Fault::Silent, 0};
    if (r < 920)
        return {Fault::Garbage, 0};
    if (r < 960)
        return {Fault::Late, between(random, t.reversalTimeoutMs + 500, t.reversalTimeoutMs + 1500)};
    return {Fault::Approve, 0};
}

Planned pingStep(std::mt19937& random)
{
    const int r = between(random, 0, 999);
    if (r < 900)
        return {Fault::Approve, 0};
    if (r < 960)
        return {Fault::Silent, 0};
    return {Fault::Disconnect, 0};
}

}  // namespace

const char* faultName(Fault fault)
{
    switch (fault) {
    case Fault::Approve: return "approve";
    case Fault::Decline: return "decline";
    case Fault::Slow: return "slow";
    case Fault::Silent: return "silent";
    case Fault::Garbage: return "garbage";
    case Fault::BadTlv: return "badtlv";
    case Fault::Late: return "late";
    case Fault::Split: return "split";
    case Fault::Disconnect: return "disconnect";
    case Fault::Refuse: return "refuse";
    case Fault::AcceptCode: return "accept-by-code";
    }
    return "?";
}

bool unanswered(Fault fault)
{
    switch (fault) {
    case Fault::Silent:
    case Fault::Garbage:
    case Fault::BadTlv:
    case Fault::Late:
    case Fault::Split:
    case Fault::Disconnect:
        return true;
    default:
        return false;
    }
}

TerminalPlan::TerminalPlan(std::mt19937& random, const Timing& timing, size_t requests)
{
    for (const char* name : {"PUR", "REF", "AUT"}) {
        Kind k{name, {}};
        // The first purchase is the warm-up's and must come back.
        k.steps.push_back({Fault::Approve, 0});
        for (size_t i = 1; i < requests; ++i)
            k.steps.push_back(financialStep(random, timing));
        k.steps.push_back({Fault::Approve, 0});
        kinds_.push_back(std::move(k));
    }
    Kind voi{"VOI", {}};
    for (size_t i = 0; i < requests; ++i)
        voi.steps.push_back(reversalStep(random, timing));
    voi.steps.push_back({Fault::Approve, 0});
    kinds_.push_back(std::move(voi));

    Kind png{"PNG", {}};
    for (size_t i = 0; i < 3; ++i)
        png.steps.push_back({Fault::Approve, 0});
    for (size_t i = 3; i < requests / 4 + 50; ++i)
        png.steps.push_back(pingStep(random));
    png.steps.push_back({Fault::Approve, 0});
    kinds_.push_back(std::move(png));
}

std::vector<std::string> TerminalPlan::rules() const
{
    std::vector<std::string> out;
    for (const Kind& k : kinds_) {
        std::string rule = k.name + "=";
        for (size_t i = 0; i < k.steps.size(); ++i)
            rule += (i ? "," : "") + stepText(k.steps[i]);
        out.push_back(std::move(rule));
    }
    return out;
}

const TerminalPlan::Kind* TerminalPlan::find(const std::string& kind) const
{
    for (const Kind& k : kinds_)
        if (k.name == kind)
            return &k;
    return nullptr;
}

const Planned& TerminalPlan::step(const std::string& kind, size_t index) const
{
    static const Planned approve;
    const Kind* k = find(kind);
    if (!k || k->steps.empty())
        return approve;
    return k->steps[index < k->steps.size() ? index : k->steps.size() - 1];
}
