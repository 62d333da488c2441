// bench: purchases through dorvish against simulated PIN pads that answer at once,
// against a loopback echo as the floor, and the daemon's resident memory.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cashclient.h"
#include "daemon.h"
#include "echoserver.h"
#include "link.h"
#include "loopback.h"

namespace {

const unsigned kTerminalPorts = 99;
const unsigned kMaxCashRegisters = 50;  // the daemon's accept limit on its cash-register port

struct Options {
    std::string dorvish;
    int seconds = 3;
    int timeoutMs = 5000;
    std::vector<unsigned> terminals{1, 10, 99};
    bool keep = false;
};

const char* kUsage =
    "usage: bench --dorvish PATH [--seconds N] [--terminals LIST] [--timeout-ms MS] [--keep]\n"
    "  --dorvish PATH     the dorvish binary to measure\n"
    "  --seconds N        length of each measured run (default 3)\n"
    "  --terminals LIST   comma-separated terminal counts, 1 to 99 (default 1,10,99)\n"
    "  --timeout-ms MS    longest wait for one answer (default 5000)\n"
    "  --keep             keep the daemon's directory (configuration, log) afterwards\n"
    "Each run drives min(terminals, 50) cash registers, each sending purchases one at a\n"
    "time to its terminals in turn; the echo rows use the same client count.\n";

std::string configText(uint16_t xmlport, const std::vector<uint16_t>& terminalPorts)
{
    // Pings and settlements off the measured path; the file is read only up to 4096 bytes.
    std::string text =
        "[dorvish]\n"
        "log bench_%s.log\n"
        "loglevel 0\n"
        "xmlport " + std::to_string(xmlport) + "\n"
        "pur_timeout 10\n"
        "voi_timeout 10\n"
        "voi_repeat 0\n"
        "png_period 3600\n"
        "png_timeout 5\n"
        "loadkeyon 0\n"
        "stlstarton 0\n"
        "stltimeon 0\n"
        "utf 0\n"
        "success_log 0\n";
    for (size_t i = 0; i < terminalPorts.size(); ++i)
        text += "port_" + std::to_string(i + 1) + " " + std::to_string(terminalPorts[i]) + "\n";
    return text;
}

// Simulated PIN pads for terminals 1..count on one thread of their own.
class PinpadFleet {
public:
    PinpadFleet(const std::vector<uint16_t>& ports, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) {
            scripts_.push_back(std::make_unique<pinpad::Script>());
            terminals_.push_back(std::make_unique<pinpad::Terminal>(*scripts_.back()));
            pinpad::LinkOptions o;
            o.port = ports[i];
            links_.push_back(std::make_unique<pinpad::Link>(o, *terminals_.back()));
            raw_.push_back(links_.back().get());
        }
        thread_ = std::thread([this] { pinpad::runLinks(raw_, stop_); });
    }
    ~PinpadFleet()
    {
        stop_.store(true);
        thread_.join();
    }

private:
    std::vector<std::unique_ptr<pinpad::Script>> scripts_;
    std::vector<std::unique_ptr<pinpad::Terminal>> terminals_;
    std::vector<std::unique_ptr<pinpad::Link>> links_;
    std::vector<pinpad::Link*> raw_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Result {
    std::string target;
    unsigned terminals = 0;
    unsigned clients = 0;
    std::vector<long long> latencyUs;
    long long failures = 0;
    double seconds = 0;
    std::string firstError;
};

bool approved(const std::string& code)
{
    return code == "0" || code == "00" || code == "000";
}

// One cash register: its connection and the terminals it sends to in turn.
struct Register {
    CashClient client;
    std::vector<unsigned> kkms;
    size_t nextKkm = 0;
};

void noteError(Result& r, std::mutex& m, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m);
    if (r.firstError.empty())
        r.firstError = text;
}

// The same client loop for the daemon and for the echo floor; an echo "answer" is the
// request itself, which has no code, so the echo counts every completed exchange.
void runClients(uint16_t port, unsigned terminals, bool echo, const Options& opt, Result& result)
{
    const unsigned clients = std::min(terminals, kMaxCashRegisters);
    result.terminals = terminals;
    result.clients = clients;
    std::vector<Register> regs(clients);
    for (unsigned t = 1; t <= terminals; ++t)
        regs[(t - 1) % clients].kkms.push_back(t);

    std::mutex mutex;
    std::atomic<bool> warmFailed{false};
    // Warm-up: every terminal must have approved a purchase before the clock starts; a
    // terminal that has just connected answers 914 or 911 until the daemon is ready for it.
    {
        std::vector<std::thread> threads;
        for (Register& reg : regs)
            threads.emplace_back([&] {
                const long long deadline = monotonicMs() + 15000;
                std::string error, code;
                for (unsigned kkm : reg.kkms) {
                    bool ready = false;
                    while (!ready && monotonicMs() < deadline) {
                        if (!reg.client.isOpen() && !reg.client.open(port, opt.timeoutMs, error)) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                            continue;
                        }
                        if (!reg.client.exchange(purchaseRequest(kkm), opt.timeoutMs, code,
                                                 error)) {
                            reg.client.close();
                            continue;
                        }
                        ready = echo || approved(code);
                        if (!ready) {
                            error = "answer code " + code;
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        }
                    }
                    if (!ready) {
                        noteError(result, mutex, "terminal " + std::to_string(kkm) + " never approved a purchase (" +
                                                     error + ")");
                        warmFailed.store(true);
                        return;
                    }
                }
            });
        for (std::thread& t : threads)
            t.join();
    }
    if (warmFailed.load()) {
        result.failures = 1;
        return;
    }

    const long long start = monotonicUs();
    const long long end = start + static_cast<long long>(opt.seconds) * 1000000;
    std::vector<std::vector<long long>> latencies(clients);
    std::vector<long long> failures(clients, 0);
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            Register& reg = regs[c];
            std::string code, error;
            while (monotonicUs() < end) {
                if (!reg.client.isOpen() && !reg.client.open(port, opt.timeoutMs, error)) {
                    ++failures[c];
                    noteError(result, mutex, "reconnect: " + error);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    continue;
                }
                const unsigned kkm = reg.kkms[reg.nextKkm++ % reg.kkms.size()];
                const long long t0 = monotonicUs();
                if (!reg.client.exchange(purchaseRequest(kkm), opt.timeoutMs, code, error)) {
                    ++failures[c];
                    noteError(result, mutex, "terminal " + std::to_string(kkm) + ": " + error);
                    // A late answer must not be taken for the next request's.
                    reg.client.close();
                    continue;
                }
                if (!echo && !approved(code)) {
                    ++failures[c];
                    noteError(result, mutex, "terminal " + std::to_string(kkm) + ": answer code " + code);
                    continue;
                }
                latencies[c].push_back(monotonicUs() - t0);
            }
        });
    for (std::thread& t : threads)
        t.join();
    result.seconds = static_cast<double>(monotonicUs() - start) / 1e6;
    for (unsigned c = 0; c < clients; ++c) {
        result.latencyUs.insert(result.latencyUs.end(), latencies[c].begin(), latencies[c].end());
        result.failures += failures[c];
    }
}

long long percentile(std::vector<long long>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}

void printResults(std::vector<Result>& results)
{
    std::printf("%-14s %9s %7s %9s %10s %11s %9s %8s\n", "target", "terminals", "clients", "ops", "ops/s",
                "median_us", "p99_us", "failures");
    for (Result& r : results) {
        std::sort(r.latencyUs.begin(), r.latencyUs.end());
        const double rate = r.seconds > 0 ? static_cast<double>(r.latencyUs.size()) / r.seconds : 0;
        std::printf("%-14s %9u %7u %9zu %10.0f %11lld %9lld %8lld\n", r.target.c_str(), r.terminals, r.clients,
                    r.latencyUs.size(), rate, percentile(r.latencyUs, 0.5), percentile(r.latencyUs, 0.99),
                    r.failures);
    }
    for (const Result& r : results)
        if (!r.firstError.empty())
            std::printf("  %s, %u terminals: first failure: %s\n", r.target.c_str(), r.terminals, r.firstError.c_str());
}

bool parseOptions(int argc, char** argv, Options& opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep") {
            opt.keep = true;
            continue;
        }
        if (a == "-h" || a == "--help" || i + 1 >= argc)
            return false;
        std::string v = argv[++i];
        char* end = nullptr;
        if (a == "--dorvish") {
            opt.dorvish = v;
        } else if (a == "--seconds") {
            opt.seconds = static_cast<int>(std::strtol(v.c_str(), &end, 10));
            if (*end || opt.seconds < 1 || opt.seconds > 3600)
                return false;
        } else if (a == "--timeout-ms") {
            opt.timeoutMs = static_cast<int>(std::strtol(v.c_str(), &end, 10));
            if (*end || opt.timeoutMs < 1 || opt.timeoutMs > 600000)
                return false;
        } else if (a == "--terminals") {
            opt.terminals.clear();
            size_t p = 0;
            while (p <= v.size()) {
                size_t comma = std::min(v.find(',', p), v.size());
                long n = std::strtol(v.substr(p, comma - p).c_str(), &end, 10);
                if (*end || n < 1 || n > static_cast<long>(kTerminalPorts))
                    return false;
                opt.terminals.push_back(static_cast<unsigned>(n));
                p = comma + 1;
            }
        } else {
            return false;
        }
    }
    return !opt.dorvish.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<uint16_t> ports;
    if (!freePorts(kTerminalPorts + 1, ports)) {
        std::fprintf(stderr, "bench: cannot find free ports\n");
        return 1;
    }
    const uint16_t xmlport = ports[0];
    const std::vector<uint16_t> terminalPorts(ports.begin() + 1, ports.end());

    Daemon daemon;
    if (opt.keep)
        daemon.keepFiles();
    std::string error;
    if (!daemon.start(opt.dorvish, configText(xmlport, terminalPorts), error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("dorvish pid %d in %s, cash-register port %u\n", static_cast<int>(daemon.pid()), daemon.dir().c_str(),
                xmlport);
    {
        // The daemon listens once its core is up; give it the same grace as a failed request.
        CashClient probe;
        const long long deadline = monotonicMs() + opt.timeoutMs;
        while (!probe.open(xmlport, opt.timeoutMs, error) && monotonicMs() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!probe.isOpen()) {
            std::fprintf(stderr, "bench: dorvish does not greet on port %u: %s\n", xmlport, error.c_str());
            return 1;
        }
    }
    const long idleRss = daemon.statusKb("VmRSS");

    std::vector<Result> results;
    EchoServer echo;
    if (!echo.start()) {
        std::fprintf(stderr, "bench: cannot start the echo server\n");
        return 1;
    }
    for (unsigned t : opt.terminals) {
        Result r;
        r.target = "loopback echo";
        runClients(echo.port(), t, true, opt, r);
        results.push_back(std::move(r));
    }
    echo.stop();

    for (unsigned t : opt.terminals) {
        PinpadFleet fleet(terminalPorts, t);
        Result r;
        r.target = "dorvish";
        runClients(xmlport, t, false, opt, r);
        results.push_back(std::move(r));
    }

    long loadedRss = -1, peakRss = -1;
    bool memoryOk = true;
    {
        PinpadFleet fleet(terminalPorts, kTerminalPorts);
        // Fifty registers, each registered with the daemon by one approved purchase.
        std::vector<std::unique_ptr<CashClient>> registers;
        const long long deadline = monotonicMs() + 15000;
        std::string code;
        for (unsigned k = 1; k <= kMaxCashRegisters && memoryOk; ++k) {
            registers.push_back(std::make_unique<CashClient>());
            bool done = false;
            while (!done && monotonicMs() < deadline) {
                done = (registers.back()->isOpen() || registers.back()->open(xmlport, opt.timeoutMs, error)) &&
                       registers.back()->exchange(purchaseRequest(k), opt.timeoutMs, code, error) && approved(code);
                if (!done)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (!done) {
                std::fprintf(stderr, "bench: memory run: register %u got no approval (%s)\n", k,
                             error.empty() ? ("code " + code).c_str() : error.c_str());
                memoryOk = false;
            }
        }
        loadedRss = daemon.statusKb("VmRSS");
        peakRss = daemon.statusKb("VmHWM");
    }
    daemon.stop();

    printResults(results);
    std::printf("dorvish VmRSS: %ld kB idle, %ld kB with %u terminals and %u cash registers connected%s (peak %ld kB)\n",
                idleRss, loadedRss, kTerminalPorts, kMaxCashRegisters, memoryOk ? "" : " (INCOMPLETE)", peakRss);

    bool failed = !memoryOk;
    for (const Result& r : results)
        failed = failed || r.failures > 0 || r.latencyUs.empty();
    if (failed)
        std::printf("bench: FAILED (see the failures above)\n");
    return failed ? 1 : 0;
}
