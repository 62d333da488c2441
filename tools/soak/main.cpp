// soak: dorvish under 99 PIN pads and up to 50 cash registers for a bounded time, with
// faults injected at random on both sides, then the invariants: no cash register got a
// document that answers no request of its connection, nor a second one for one request;
// every request had a document by its due time while its register stayed connected; every
// request left without an answer was reversed, within the repeat limit; the daemon still
// answers; no descriptor or memory growth; a clean stop without sanitizer reports.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cashclient.h"
#include "daemon.h"
#include "fleet.h"
#include "ledger.h"
#include "loopback.h"
#include "plan.h"
#include "probe.h"
#include "register.h"

namespace {

const unsigned kMaxTerminals = 99;   // register numbers run from 1 to 99
const unsigned kMaxRegisters = 50;   // the daemon's accept limit on its cash-register port
const int kHangUpPerMille = 50;      // cash registers that leave before their answer
const long long kMarginMs = 150;     // a hang-up this much before the answer was seen first
// The server's countdown after a terminal connects while a request is outstanding, the
// one after a ping's answer before a request queued behind it goes out, and how late past
// the configured times an answer may come from a loaded daemon.
const long long kReconnectWaitMs = 20000;
const long long kAfterPingMs = 5000;
const long long kDueMarginMs = 3000;
// Tolerated growth between the first and the last tenth of the run: a few connections
// that happen to be reconnecting at the moment of a sample, and allocator noise.
const double kDescriptorSlack = 10;
const double kRssSlackKb = 1024;
const double kRssSlackShare = 0.10;

struct Options {
    std::string dorvish;
    int seconds = 60;
    unsigned terminals = kMaxTerminals;
    unsigned registers = kMaxRegisters;
    unsigned seed = 0;
    bool seedGiven = false;
    bool keep = false;
};

const char* kUsage =
    "usage: soak --dorvish PATH [--seconds N] [--terminals N] [--registers N] [--seed S] [--keep]\n"
    "  --dorvish PATH   the dorvish binary to soak\n"
    "  --seconds N      length of the loaded run (default 60), followed by a drain of about 35 s\n"
    "  --terminals N    simulated PIN pads, 1 to 99 (default 99)\n"
    "  --registers N    cash-register connections, 1 to 50 (default 50)\n"
    "  --seed S         seed of the fault plan (default: from the clock; printed)\n"
    "  --keep           keep the daemon's and the PIN pads' files afterwards\n"
    "Exit status 0 when every invariant holds, 1 otherwise, 2 for a bad command line.\n";

bool parseNumber(const std::string& text, long low, long high, long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && out >= low && out <= high;
}

bool parseOptions(int argc, char** argv, Options& opt)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep") {
            opt.keep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string v = argv[++i];
        long n = 0;
        if (a == "--dorvish") {
            opt.dorvish = v;
        } else if (a == "--seconds" && parseNumber(v, 10, 86400, n)) {
            opt.seconds = static_cast<int>(n);
        } else if (a == "--terminals" && parseNumber(v, 1, kMaxTerminals, n)) {
            opt.terminals = static_cast<unsigned>(n);
        } else if (a == "--registers" && parseNumber(v, 1, kMaxRegisters, n)) {
            opt.registers = static_cast<unsigned>(n);
        } else if (a == "--seed" && parseNumber(v, 0, 2147483647L, n)) {
            opt.seed = static_cast<unsigned>(n);
            opt.seedGiven = true;
        } else {
            return false;
        }
    }
    return !opt.dorvish.empty();
}

std::string configText(uint16_t xmlport, const std::vector<uint16_t>& terminalPorts, unsigned voiRepeat,
                       const Timing& timing)
{
    // Short timeouts so that most faults resolve within the run; pings every few idle
    // seconds; no key loading or settlement, which would only answer 914 meanwhile.
    std::string text =
        "[dorvish]\n"
        "log soak_%s.log\n"
        "loglevel 0\n"
        "xmlport " + std::to_string(xmlport) + "\n"
        "pur_timeout " + std::to_string(timing.requestTimeoutMs / 1000) + "\n"
        "ref_timeout " + std::to_string(timing.requestTimeoutMs / 1000) + "\n"
        "voi_timeout " + std::to_string(timing.reversalTimeoutMs / 1000) + "\n"
        "cmp_timeout 2\n"
        "stl_timeout 2\n"
        "png_timeout " + std::to_string(timing.pingTimeoutMs / 1000) + "\n"
        "png_period 3\n"
        "voi_repeat " + std::to_string(voiRepeat) + "\n"
        "loadkeyon 0\n"
        "stlstarton 0\n"
        "stltimeon 0\n"
        "utf 0\n"
        "success_log 0\n";
    for (size_t i = 0; i < terminalPorts.size(); ++i)
        text += "port_" + std::to_string(i + 1) + " " + std::to_string(terminalPorts[i]) + "\n";
    return text;
}

void appendOption(const char* variable, const std::string& option)
{
    const char* old = std::getenv(variable);
    std::string value = old && *old ? std::string(old) + ":" + option : option;
    setenv(variable, value.c_str(), 1);
}

void sleepMs(long long ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> filesStartingWith(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
                out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool logHasStop(const std::string& dir)
{
    for (const std::string& path : filesStartingWith(dir, "soak_")) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
            if (line.size() >= 4 && line.compare(line.size() - 4, 4, "Stop") == 0)
                return true;
    }
    return false;
}

std::string head(const std::string& path, size_t lines)
{
    std::ifstream in(path);
    std::string text, line;
    for (size_t i = 0; i < lines && std::getline(in, line); ++i)
        text += "    " + line + "\n";
    return text;
}

void removeTree(const std::string& dir)
{
    for (const std::string& path : filesStartingWith(dir, ""))
        if (path.compare(path.size() - 2, 2, "/.") != 0 && path.compare(path.size() - 3, 3, "/..") != 0)
            ::unlink(path.c_str());
    ::rmdir(dir.c_str());
}

void printCounts(const char* title, const std::map<std::string, unsigned>& counts)
{
    std::printf("  %s:", title);
    for (const auto& c : counts)
        std::printf(" %s %u", c.first.c_str(), c.second);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!opt.seedGiven)
        opt.seed = static_cast<unsigned>(monotonicUs() % 2147483647LL);
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<std::string> violations;
    const Timing timing;
    DueTimes due;
    due.requestMs = timing.requestTimeoutMs;
    due.queueMs = timing.pingTimeoutMs + kAfterPingMs;
    due.reconnectMs = kReconnectWaitMs;
    due.marginMs = kDueMarginMs;
    // A register waits past the latest due time, a request queued behind a ping whose PIN
    // pad then reconnected, so that a missing answer is seen and not left by the soak.
    const long long waitMs = due.queueMs + due.requestMs + due.reconnectMs + 2 * due.marginMs;
    const unsigned voiRepeat = 1 + opt.seed % 2;
    const unsigned registers = std::min(opt.registers, opt.terminals);

    char templ[] = "/tmp/dorvish-soak-XXXXXX";
    if (!mkdtemp(templ)) {
        std::fprintf(stderr, "soak: mkdtemp: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string dir = templ;

    std::vector<uint16_t> ports;
    if (!freePorts(opt.terminals + 1, ports)) {
        std::fprintf(stderr, "soak: cannot find free ports\n");
        removeTree(dir);
        return 1;
    }
    const uint16_t xmlport = ports[0];
    const std::vector<uint16_t> terminalPorts(ports.begin() + 1, ports.end());

    // The daemon inherits these: a sanitizer report lands in a file here instead of on
    // the standard error that the daemon has closed.
    // A small quarantine: the default one holds 256 MB of freed blocks, so memory would grow
    // for the whole run and hide the growth the soak looks for.
    appendOption("ASAN_OPTIONS", "log_path=" + dir + "/asan:quarantine_size_mb=16");
    appendOption("UBSAN_OPTIONS", "log_path=" + dir + "/ubsan:print_stacktrace=1");
    appendOption("LSAN_OPTIONS", "log_path=" + dir + "/lsan");

    Daemon daemon;
    std::string error;
    if (!daemon.start(opt.dorvish, configText(xmlport, terminalPorts, voiRepeat, timing), error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        removeTree(dir);
        return 1;
    }
    const pid_t pid = daemon.pid();
    {
        // It listens once its core is up; a daemon that fails there logs "Stop" and ends.
        std::atomic<unsigned> none{0};
        Register probe(xmlport, {}, 0, none);
        if (!probe.open(monotonicMs() + 10000) || !processAlive(pid)) {
            std::fprintf(stderr, "soak: dorvish does not serve on port %u (see %s)\n", xmlport, daemon.dir().c_str());
            daemon.keepFiles();
            removeTree(dir);
            return 1;
        }
    }
    std::printf("soak: seed %u, dorvish pid %d in %s, cash-register port %u, %u terminals, %u cash registers, "
                "voi_repeat %u, PIN-pad logs in %s\n",
                opt.seed, static_cast<int>(pid), daemon.dir().c_str(), xmlport, opt.terminals, registers, voiRepeat,
                dir.c_str());

    // About as many steps as a busy terminal takes requests, so faults last the whole run.
    std::mt19937 random(opt.seed);
    std::vector<TerminalPlan> plans;
    for (unsigned t = 0; t < opt.terminals; ++t)
        plans.emplace_back(random, timing, static_cast<size_t>(opt.seconds) * 12 + 100);
    Fleet fleet(terminalPorts, plans, dir);
    if (!fleet.start(error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        removeTree(dir);
        return 1;
    }

    std::atomic<unsigned> amounts{1000};
    std::vector<std::unique_ptr<Register>> regs;
    {
        std::vector<std::vector<unsigned>> kkms(registers);
        for (unsigned t = 1; t <= opt.terminals; ++t)
            kkms[(t - 1) % registers].push_back(t);
        for (unsigned r = 0; r < registers; ++r)
            regs.push_back(std::make_unique<Register>(xmlport, kkms[r], opt.seed * 131u + r, amounts));
    }

    // Warm-up: every terminal approves a purchase before the clock starts.
    bool warm = true;
    {
        const long long deadline = monotonicMs() + 30000;
        std::vector<std::string> errors(registers);
        std::vector<std::thread> threads;
        for (unsigned r = 0; r < registers; ++r)
            threads.emplace_back([&, r] { regs[r]->warmUp(deadline, errors[r]); });
        for (std::thread& t : threads)
            t.join();
        for (const std::string& e : errors)
            if (!e.empty()) {
                violations.push_back("warm-up: " + e);
                warm = false;
            }
    }

    std::vector<Sample> samples;
    long long runStart = monotonicMs(), runEnd = runStart;
    bool diedEarly = false;
    if (warm) {
        std::printf("soak: all terminals approved a purchase; %d s of faults begin\n", opt.seconds);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        runStart = monotonicMs();
        for (unsigned r = 0; r < registers; ++r)
            threads.emplace_back([&, r] { regs[r]->run(stop, kHangUpPerMille, waitMs); });
        const long long end = runStart + static_cast<long long>(opt.seconds) * 1000;
        while (monotonicMs() < end) {
            Sample s;
            s.ms = monotonicMs();
            s.descriptors = countDescriptors(pid);
            s.rssKb = daemon.statusKb("VmRSS");
            samples.push_back(s);
            if (!processAlive(pid)) {
                diedEarly = true;
                break;
            }
            sleepMs(200);
        }
        runEnd = monotonicMs();
        stop.store(true);
        for (std::thread& t : threads)
            t.join();
        for (auto& reg : regs)
            reg->close();
        if (diedEarly)
            violations.push_back("the daemon ended during the run");

        // Long enough for the slowest fault to resolve: a PIN pad that dropped a request
        // is waited for 20 s after it reconnects, then reversed up to voi_repeat + 1 times.
        const long long drainMs = 20000 + 5000 + timing.requestTimeoutMs +
                                  2LL * (voiRepeat + 1) * timing.reversalTimeoutMs;
        std::printf("soak: run over, %lld s drain for pending reversals\n", drainMs / 1000);
        const long long drainEnd = monotonicMs() + drainMs;
        while (!diedEarly && monotonicMs() < drainEnd) {
            if (!processAlive(pid)) {
                diedEarly = true;
                violations.push_back("the daemon ended during the drain");
            }
            sleepMs(500);
        }
    }
    fleet.stop();

    std::vector<const Operation*> ops;
    unsigned documents = 0;
    unsigned foreign = 0;
    unsigned second = 0;
    for (auto& reg : regs) {
        for (const Operation& op : reg->operations()) {
            ops.push_back(&op);
            documents += op.documents;
        }
        for (const std::string& f : reg->foreignAnswers()) {
            violations.push_back("a request answered with another request's answer: " + f);
            ++foreign;
        }
        for (const std::string& d : reg->secondAnswers()) {
            violations.push_back("a second answer for one request: " + d);
            ++second;
        }
    }
    documents += foreign;
    std::vector<LogSource> logs;
    for (unsigned t = 1; t <= opt.terminals; ++t)
        logs.push_back(LogSource{t, fleet.logPath(t), fleet.logStartMs(t), &plans[t - 1]});
    Ledger ledger = audit(logs, ops, voiRepeat, kMarginMs, due);
    violations.insert(violations.end(), ledger.violations.begin(), ledger.violations.end());

    // The daemon still serves: a fresh purchase on a terminal that now approves everything.
    bool freshOk = false;
    if (!diedEarly && processAlive(pid)) {
        fleet.approveAll(1);
        if (fleet.start(error)) {
            std::string detail;
            freshOk = freshPurchase(xmlport, 1, amounts.fetch_add(1), monotonicMs() + 30000, detail);
            if (!freshOk)
                violations.push_back("a fresh purchase after the run failed: " + detail);
            fleet.stop();
        }
    } else if (!diedEarly) {
        violations.push_back("the daemon is gone after the run");
    }

    // Descriptors and memory: the last tenth of the run against the first.
    const long long tenth = (runEnd - runStart) / 10;
    const double fdFirst = meanDescriptors(samples, runStart, runStart + tenth);
    const double fdLast = meanDescriptors(samples, runEnd - tenth, runEnd);
    const double rssFirst = meanRss(samples, runStart, runStart + tenth);
    const double rssLast = meanRss(samples, runEnd - tenth, runEnd);
    if (warm && !diedEarly) {
        if (fdFirst < 0 || fdLast < 0)
            violations.push_back("the daemon's descriptors could not be read");
        else if (fdLast > fdFirst + kDescriptorSlack)
            violations.push_back("descriptors grew from " + std::to_string(fdFirst) + " to " + std::to_string(fdLast));
        if (rssFirst < 0 || rssLast < 0)
            violations.push_back("the daemon's VmRSS could not be read");
        else if (rssLast > rssFirst + std::max(kRssSlackKb, rssFirst * kRssSlackShare))
            violations.push_back("VmRSS grew from " + std::to_string(static_cast<long>(rssFirst)) + " kB to " +
                                 std::to_string(static_cast<long>(rssLast)) + " kB");
    }

    // A clean stop: SIGTERM ends it with its "Stop" line, and no sanitizer spoke.
    bool stopped = false;
    if (processAlive(pid)) {
        kill(pid, SIGTERM);
        const long long deadline = monotonicMs() + 20000;
        while (processAlive(pid) && monotonicMs() < deadline)
            sleepMs(20);
        stopped = !processAlive(pid);
        if (!stopped)
            violations.push_back("the daemon did not end within 20 s of SIGTERM");
    }
    if (!logHasStop(daemon.dir()))
        violations.push_back("the daemon's log has no \"Stop\" line (see " + daemon.dir() + ")");
    // A sanitizer may still be writing its report as the process ends.
    sleepMs(200);
    for (const char* prefix : {"asan", "ubsan", "lsan"})
        for (const std::string& path : filesStartingWith(dir, prefix))
            violations.push_back("sanitizer report " + path + ":\n" + head(path, 30));

    std::map<std::string, unsigned> outcomes, kinds;
    unsigned hungUp = 0;
    for (const Operation* op : ops) {
        ++outcomes[outcomeName(op->outcome)];
        ++kinds[op->kind];
        hungUp += op->outcome == Operation::HungUp;
    }
    std::printf("soak figures (seed %u, %lld s run):\n", opt.seed, (runEnd - runStart) / 1000);
    std::printf("  operations: %zu requests from %u cash registers (", ops.size(), registers);
    for (const auto& k : kinds)
        std::printf(" %s %u", k.first.c_str(), k.second);
    std::printf(" ), %u reached the PIN pads, %u documents received\n", ledger.requestsAtTerminals, documents);
    printCounts("outcomes at the cash registers", outcomes);
    printCounts("faults injected in requests (as the PIN pads took them)", ledger.requestFaults);
    printCounts("faults injected in reversals", ledger.reversalFaults);
    printCounts("faults injected in pings", ledger.pingFaults);
    std::printf("  cash registers hanging up before their answer: %u; PIN-pad connections ended: %u\n", hungUp,
                ledger.drops);
    std::printf("  reversals checked: %u requests had to be reversed, %u were; %u reversals received in all, "
                "at most %u for one request (limit %u, one more after a late answer); %u answered requests checked not reversed\n",
                ledger.mustReverse, ledger.reversed, ledger.reversalsSeen, ledger.mostReversals, voiRepeat + 1,
                ledger.deliveredChecked);
    std::printf("  documents answering no request of their connection (another request's answer): %u (0 allowed); "
                "%u requests got one for their number instead of their own, %u of them at the PIN pads\n",
                foreign, ledger.foreignInstead, ledger.foreignAnswered);
    std::printf("  second documents for one request: %u (0 allowed)\n", second);
    std::printf("  requests without a document while their register stayed connected past their due time: %u "
                "(0 allowed); %u had their first by it (closest %lld ms before it, margin %lld ms), %u closed by the "
                "soak and %u by the server before it without one; registers wait %lld s\n",
                ledger.unanswered, ledger.inTime, ledger.closestMs, kDueMarginMs, ledger.closedBeforeDue,
                ledger.lostBeforeDue, waitMs / 1000);
    std::printf("  descriptors: %.1f in the first tenth, %.1f in the last (tolerance +%.0f)\n", fdFirst, fdLast,
                kDescriptorSlack);
    std::printf("  VmRSS: %.0f kB in the first tenth, %.0f kB in the last (tolerance +max(%.0f kB, %.0f%%))\n",
                rssFirst, rssLast, kRssSlackKb, kRssSlackShare * 100);
    std::printf("  fresh purchase after the run: %s; stop on SIGTERM: %s\n", freshOk ? "approved" : "FAILED",
                stopped ? "clean" : "FAILED");

    const bool keep = opt.keep || !violations.empty();
    if (keep)
        daemon.keepFiles();
    daemon.stop();
    if (!keep)
        removeTree(dir);
    else
        std::printf("soak: PIN-pad logs kept in %s\n", dir.c_str());

    for (const std::string& v : violations)
        std::printf("VIOLATION: %s\n", v.c_str());
    std::printf("soak: %s\n", violations.empty() ? "every invariant holds" : "FAILED");
    return violations.empty() ? 0 : 1;
}
