// pinpad: a simulated PIN-pad terminal for testing dorvish without hardware.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int)
{
    gStop.store(true);
}

const char* kUsage =
    "usage: pinpad --port PORT [options]\n"
    "Connects to a terminal port of dorvish as PIN pad and answers every request.\n"
    "  --host ADDR         server address (default 127.0.0.1)\n"
    "  --port PORT         the terminal's port_N of the server's configuration\n"
    "  --rule KIND=STEPS   how to answer requests of KIND; repeatable\n"
    "  --script FILE       rules from a file, one a line, # starts a comment\n"
    "  --log FILE          event log, one line per message (default: standard output; - too)\n"
    "  --once              exit when the first connection ends instead of reconnecting\n"
    "  --retry MS          pause before connecting again (default 200)\n"
    "  --unsolicited MS    send an unasked purchase answer MS after each connect\n"
    "  --card PAN          card number in answers (default 4111111111111111)\n"
    "  --terminal-id ID    terminal id in answers (default 00012345)\n"
    "KIND: PUR VOI REF STL AUT CMP PNG FUN VER PIN, KEY (key loading), * (any other).\n"
    "STEPS: STEP[,STEP...]; the last step repeats. STEP: [COUNT*]VERB[/MOD...][@DELAY_MS]\n"
    "  approve[:CODE] accept[:CODE]   approved (code 00), a reversal with A1=Y\n"
    "  decline[:CODE] refuse[:CODE]   refused (code 05), a reversal with A1=N\n"
    "  late:MS  approve after MS     silent  never answer\n"
    "  garbage  bytes that are no frame   badtlv  a frame with a broken TLV\n"
    "  disconnect  close the connection\n"
    "  MOD: split[:GAP_MS] the answer in two writes (gap 50), double  two frames in one write\n"
    "Example: pinpad --port 7001 --rule PUR=silent,approve --rule VOI=2*refuse,accept\n";

bool parseInt(const char* text, long low, long high, long& out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < low || v > high)
        return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    pinpad::Script script;
    pinpad::LinkOptions options;
    pinpad::Identity identity;
    std::string logPath = "-";
    std::string error;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--once") {
            options.once = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "pinpad: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        long n = 0;
        bool ok = true;
        if (arg == "--host") {
            options.host = value;
        } else if (arg == "--port") {
            ok = parseInt(value, 1, 65535, n);
            options.port = static_cast<uint16_t>(n);
        } else if (arg == "--rule") {
            ok = script.addRule(value, error);
        } else if (arg == "--script") {
            ok = script.load(value, error);
        } else if (arg == "--log") {
            logPath = value;
        } else if (arg == "--retry") {
            ok = parseInt(value, 1, 600000, n);
            options.retryMs = static_cast<int>(n);
        } else if (arg == "--unsolicited") {
            ok = parseInt(value, 0, 600000, n);
            options.unsolicitedMs = static_cast<int>(n);
        } else if (arg == "--card") {
            identity.card = value;
        } else if (arg == "--terminal-id") {
            identity.terminalId = value;
        } else {
            std::fprintf(stderr, "pinpad: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "pinpad: %s\n", error.empty() ? ("bad value for " + arg).c_str() : error.c_str());
            return 2;
        }
    }
    if (options.port == 0) {
        std::fprintf(stderr, "pinpad: --port is required\n%s", kUsage);
        return 2;
    }

    std::FILE* logFile = stdout;
    if (logPath != "-") {
        logFile = std::fopen(logPath.c_str(), "a");
        if (!logFile) {
            std::fprintf(stderr, "pinpad: cannot open log %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    pinpad::TraceLog log(logFile);
    pinpad::Terminal terminal(script, identity, &log);
    pinpad::Link link(options, terminal, &log);
    log.line("start port " + std::to_string(options.port));
    pinpad::runLinks({&link}, gStop);
    log.line("stop");
    if (logFile != stdout)
        std::fclose(logFile);
    return 0;
}
