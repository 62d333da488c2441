// The real dorvish binary: start-up, daemon, listeners and shut-down over
// loopback TCP.
#include <gtest/gtest.h>

#include <sstream>

#include "dorvish_run.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The log's lines without their "HH:MM:SS : " prefix; a line without it is kept whole.
std::vector<std::string> messages(const std::string& log)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const bool stamped = line.size() >= 11 && line[2] == ':' && line[5] == ':' && line.compare(8, 3, " : ") == 0;
        out.push_back(stamped ? line.substr(11) : line);
    }
    return out;
}

// Replaces the value of every line "key value" of the text.
std::string setKey(const std::string& text, const std::string& key, int value)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + " ") == 0)
            line = key + " " + std::to_string(value);
        out += line + "\n";
    }
    return out;
}

// The part of dorvish.log from byte from on, once that part holds marker (or the time is up).
std::string logSince(const dorvishRun& run, size_t from, const std::string& marker, int ms = 3000)
{
    const long long end = monoMs() + ms;
    for (;;) {
        const std::string text = run.log("dorvish.log");
        const std::string part = text.size() > from ? text.substr(from) : std::string();
        if (has(part, marker) || monoMs() >= end)
            return part;
        usleep(20000);
    }
}

const std::string DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

struct ports {
    int xml = freeTcpPort();
    int service = freeTcpPort();
    int terminal = freeTcpPort();
};

std::string basicConfig(const ports& p)
{
    return "[dorvish]\nlog dorvish.log\nloglevel 1\nxmlport " + std::to_string(p.xml) + "\nserviceport " +
           std::to_string(p.service) + "\nport_1 " + std::to_string(p.terminal) + "\n";
}

TEST(DorvishProcess, UsageEndsWithZero)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-h"}, {"--help", "-c", "x.cfg"}, {"-c"}}) {
        dorvishRun run;
        runResult r = run.start(args);
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(has(r.out, "version: 0.481\nUsage: dorvish -c CONFIGFILE\n")) << r.out;
        EXPECT_EQ("", readFile(run.pidFile));
    }
}

TEST(DorvishProcess, StartsServesAndStops)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    runResult r = run.start({"-c", "dorvish.cfg"});
    EXPECT_EQ(0, r.status);
    ASSERT_GT(run.daemonPid, 0) << r.out;
    EXPECT_EQ("Start daemon, PID: " + std::to_string(run.daemonPid) + "\n", r.out);
    EXPECT_EQ(std::to_string(run.daemonPid), readFile(run.pidFile));
    ASSERT_TRUE(run.waitPort(p.xml));

    // Standard descriptors stay occupied by /dev/null.
    char target[256] = "";
    const std::string fd0 = "/proc/" + std::to_string(run.daemonPid) + "/fd/0";
    ssize_t n = readlink(fd0.c_str(), target, sizeof target - 1);
    EXPECT_EQ("/dev/null", std::string(target, n > 0 ? static_cast<size_t>(n) : 0));

    client cash(p.xml);
    const std::string greeting = cash.receiveUntil("\r\n");
    EXPECT_EQ(0u, greeting.find("EFT-server. "));
    EXPECT_EQ("\r\n", greeting.substr(greeting.size() - 2));
    ASSERT_TRUE(cash.send(DECL + "<mess><type>0200000000</type><kkm>1</kkm></mess>"));
    EXPECT_EQ(0u, cash.receiveUntil("</mess>\r\n\r\n").find(DECL + "<mess><code>914</code><kkm>1</kkm>"));

    client service(p.service);
    EXPECT_EQ(398u, service.receive(398).size());

    EXPECT_EQ(0, run.stop());
    const std::string log = run.log("dorvish.log");
    const std::vector<std::string> lines = messages(log);
    ASSERT_GE(lines.size(), 3u) << log;
    EXPECT_EQ("Start", lines[0]);
    EXPECT_EQ("build: Mon Sep 14 18:30:39 2015", lines[1]);
    EXPECT_EQ("INF: time stl 00:00 - off", lines[2]);
    EXPECT_TRUE(has(log, "Connected cashbox, IP: 127.0.0.1\n"));
    EXPECT_TRUE(has(log, "Connected service, IP: 127.0.0.1\n"));
    EXPECT_TRUE(has(log, " : Stop\n\n")) << log;
    EXPECT_FALSE(readFile(run.pidFile).empty()); // the pid file stays
}

TEST(DorvishProcess, PidFileNamedByBaseName)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    if (mkdir((run.dir + "/sub").c_str(), 0700) == 0)
        symlink(run.exe.c_str(), (run.dir + "/sub/" + run.name).c_str());
    writeFile(run.pidFile, "123456789012"); // left by an earlier, longer id
    for (const std::string& path : {run.exe, "./sub/" + run.name, run.name}) {
        SCOPED_TRACE(path);
        runResult r = run.start({"-c", "dorvish.cfg"}, path);
        ASSERT_EQ(0, r.status) << r.out;
        ASSERT_GT(run.daemonPid, 0) << r.out;
        EXPECT_EQ(std::to_string(run.daemonPid), readFile(run.pidFile));
        ASSERT_TRUE(run.waitPort(p.xml));
        EXPECT_EQ(0, run.stop());
    }
}

TEST(DorvishProcess, SecondStartOnTheSameNameIsRefused)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0);
    const pid_t first = run.daemonPid;
    ASSERT_TRUE(run.waitPort(p.xml));

    runResult again = run.start({"-c", "dorvish.cfg"});
    EXPECT_EQ(0, again.status); // the starter exits 0 whatever becomes of its child
    EXPECT_TRUE(has(again.out, "Cant lock PID\nDemon not starting...\n")) << again.out;
    // The refused child has become ours; it ended with 1.
    int status = 0;
    pid_t refused = -1;
    const long long end = monoMs() + 5000;
    while (monoMs() < end && (refused = waitpid(-1, &status, WNOHANG)) <= 0)
        usleep(10000);
    ASSERT_GT(refused, 0);
    EXPECT_NE(first, refused);
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_EQ(std::to_string(first), readFile(run.pidFile));
    run.daemonPid = first;
    EXPECT_EQ(0, run.stop());
}

TEST(DorvishProcess, OverlongNameIsRefused)
{
    dorvishRun run(std::string(size_t(118) + 1, 'n'));
    runResult r = run.start({"-c", "dorvish.cfg"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.out, "Cant create PID: program name longer than 118 characters\nDemon not starting...\n")) << r.out;
    EXPECT_EQ(0, run.daemonPid);

    ports p;
    dorvishRun longest(std::string(size_t(118), 'l'));
    longest.config("dorvish.cfg", basicConfig(p));
    r = longest.start({"-c", "dorvish.cfg"});
    EXPECT_EQ(0, r.status);
    ASSERT_GT(longest.daemonPid, 0) << r.out;
    EXPECT_TRUE(longest.waitPort(p.xml));
    EXPECT_EQ(0, longest.stop());
}

TEST(DorvishProcess, MissingConfigFileFallsBackToConfigCfg)
{
    ports p;
    dorvishRun run;
    run.config("config.cfg", "[dorvish]\nxmlport " + std::to_string(p.xml) + "\n");
    runResult r = run.start({"-c", "missing.cfg"});
    ASSERT_GT(run.daemonPid, 0) << r.out;
    ASSERT_TRUE(run.waitPort(p.xml));
    client cash(p.xml);
    EXPECT_EQ(0u, cash.receiveUntil("\r\n").find("EFT-server. "));
    EXPECT_EQ(0, run.stop());
    // The log path came from the empty configuration: the default file.
    EXPECT_TRUE(has(run.log("file.log"), " : Start\n"));
}

TEST(DorvishProcess, InitFailureLogsAndEndsWithZero)
{
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, listen(blocker, 1));
    socklen_t len = sizeof a;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&a), &len);
    const int taken = ntohs(a.sin_port);

    struct failCase {
        const char* name;
        std::string config;
        std::string line;
    };
    const failCase cases[] = {
        {"no xmlport", "[dorvish]\nlog dorvish.log\n", "ERR: Not specified port number (xmlport=0)"},
        {"port taken", "[dorvish]\nlog dorvish.log\nxmlport " + std::to_string(taken) + "\n",
         "ERR: Failed to create listening socket, port: " + std::to_string(taken)},
    };
    for (const failCase& c : cases) {
        SCOPED_TRACE(c.name);
        dorvishRun run;
        run.config("dorvish.cfg", c.config);
        runResult r = run.start({"-c", "dorvish.cfg"});
        ASSERT_GT(run.daemonPid, 0) << r.out;
        EXPECT_EQ(0, run.waitExit());
        const std::string log = run.log("dorvish.log");
        const size_t start = log.find(" : Start\n");
        const size_t build = log.find(" : build: Mon Sep 14 18:30:39 2015\n");
        const size_t stl = log.find(" : INF: time stl 00:00 - off\n");
        const size_t fail = log.find(" : " + c.line + "\n");
        const size_t stop = log.find(" : Stop\n\n");
        EXPECT_TRUE(start < build && build < stl && stl < fail && fail < stop && stop != std::string::npos) << log;
    }
    close(blocker);
}

TEST(DorvishProcess, AcceptLimits)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0);
    ASSERT_TRUE(run.waitPort(p.terminal));
    // waitPort's own connection, as terminal 1, is closed before the count begins.
    const std::string connected = "Connected terminal: 00000001, IP: 127.0.0.1\n";
    const std::string closed = "Close connect, terminal: 00000001, IP: 127.0.0.1\n";
    ASSERT_TRUE(has(logSince(run, 0, closed), closed));

    {
        std::vector<std::unique_ptr<client>> terminals;
        for (int i = 0; i < 2; ++i) {
            // Each one accepted before the next comes: its own line, not an earlier one.
            const size_t from = run.log("dorvish.log").size();
            terminals.emplace_back(new client(p.terminal));
            ASSERT_TRUE(has(logSince(run, from, connected), connected)) << i;
        }
        client third(p.terminal);
        EXPECT_TRUE(third.closedByPeer());
        const size_t beforeRoom = run.log("dorvish.log").size();
        terminals.pop_back(); // room for one more
        EXPECT_TRUE(has(logSince(run, beforeRoom, closed), closed));
        usleep(100000);
        client again(p.terminal);
        EXPECT_FALSE(again.closedByPeer(300));
    }

    std::vector<std::unique_ptr<client>> cash;
    for (int i = 0; i < 50; ++i) {
        cash.emplace_back(new client(p.xml));
        EXPECT_EQ(0u, cash.back()->receiveUntil("\r\n").find("EFT-server. ")) << i;
    }
    client refused(p.xml);
    EXPECT_EQ("", refused.receive(1));
    EXPECT_TRUE(refused.eof);
    EXPECT_EQ(0, run.stop());
}

TEST(DorvishProcess, TerminalReconnectReplacesTheFirstConnection)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0);
    ASSERT_TRUE(run.waitPort(p.terminal));
    // waitPort itself connected and closed once, as terminal 1; count from after its close line.
    const std::string terminalClose = "Close connect, terminal: 00000001, IP: 127.0.0.1\n";
    ASSERT_TRUE(has(logSince(run, 0, terminalClose), terminalClose));
    const size_t before = run.log("dorvish.log").size();
    auto first = std::make_unique<client>(p.terminal);
    ASSERT_TRUE(has(logSince(run, before, "Connected terminal"), "Connected terminal"));
    const size_t firstConnected = run.log("dorvish.log").size();
    auto second = std::make_unique<client>(p.terminal);
    ASSERT_TRUE(has(logSince(run, firstConnected, "Connected terminal"), "Connected terminal"));
    usleep(100000);
    first.reset();
    std::string log = logSince(run, before, "Close connect, IP: 127.0.0.1\n");
    EXPECT_TRUE(has(log, "Close connect, IP: 127.0.0.1\n")) << log;
    EXPECT_FALSE(has(log, "Close connect, terminal")) << log; // the replaced one is no terminal any more
    second.reset();
    log = logSince(run, before, terminalClose);
    EXPECT_TRUE(has(log, terminalClose)) << log;
    EXPECT_EQ(0, run.stop());
}

TEST(DorvishProcess, BadInputKeepsItServing)
{
    ports p;
    dorvishRun run;
    run.config("dorvish.cfg", basicConfig(p));
    run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0);
    ASSERT_TRUE(run.waitPort(p.xml));
    const std::string inputs[] = {
        std::string(4095, 'a'),
        std::string(10240, '<'),
        std::string("<mess><kkm>1</kkm>\0</mess>", 26),
        "<mess><type>x</type><kkm>a</kkm></mess>",
        "<mess><invoice>\xFF<&</invoice><kkm>1</kkm></mess>",
    };
    for (const std::string& in : inputs) {
        client cash(p.xml);
        cash.receiveUntil("\r\n");
        ASSERT_TRUE(cash.send(in));
        EXPECT_TRUE(has(cash.receiveUntil("</mess>\r\n\r\n"), "</mess>\r\n\r\n"));
    }
    { client silent(p.xml); } // connects and closes without a byte
    { client terminal(p.terminal); terminal.send(std::string(10240, '\xFF')); }
    client last(p.xml);
    last.receiveUntil("\r\n");
    last.send("<mess><kkm>5</kkm></mess>");
    EXPECT_EQ(0u, last.receiveUntil("</mess>\r\n\r\n").find("<mess><code>911</code><kkm>5</kkm>"));
    EXPECT_EQ(0, run.stop());
}

TEST(DorvishProcess, ConfigurationFileQuirks)
{
    ports p;
    const int zero = freeTcpPort();
    dorvishRun run;
    const std::string text = "[dorvish]\r\nlog dorvish.log\r\nxmlport " + std::to_string(p.xml) + "\r\nxmlport 1\r\n" +
                             "# port_9 lives in a comment only\r\nport_0 " + std::to_string(zero) + "\r\n";
    run.config("dorvish.cfg", text);
    run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0);
    ASSERT_TRUE(run.waitPort(p.xml)); // CR LF lines and the first xmlport
    // Terminal listeners open after the cash registers' one, and a refused connect
    // would look like a close as well.
    ASSERT_TRUE(run.waitPort(zero));
    {
        client c(zero);
        ASSERT_TRUE(c.ok);
        EXPECT_TRUE(c.closedByPeer());
    }
    EXPECT_TRUE(has(run.log("dorvish.log", "ERR: 2 (OnAccept)"), "ERR: 2 (OnAccept), IP: 127.0.0.1\n"));
    client cash(p.xml);
    cash.receiveUntil("\r\n");
    cash.send("<mess><kkm>9</kkm><type>0200000000</type></mess>");
    // Number 9 exists (from the comment) but has never connected.
    EXPECT_EQ(0u, cash.receiveUntil("</mess>\r\n\r\n").find("<mess><code>914</code><kkm>9</kkm>"));
    EXPECT_EQ(0, run.stop());
}

TEST(DorvishProcess, ExampleConfigurationStarts)
{
    std::string text = readFile(std::string(DORVISH_SOURCE_DIR) + "/examples/dorvish.cfg");
    ASSERT_FALSE(text.empty());
    ports p;
    const int second = freeTcpPort();
    text = setKey(text, "xmlport", p.xml);
    text = setKey(text, "serviceport", p.service);
    text = setKey(text, "port_1", p.terminal);
    text = setKey(text, "port_2", second);
    dorvishRun run;
    run.config("dorvish.cfg", text);
    runResult r = run.start({"-c", "dorvish.cfg"});
    ASSERT_GT(run.daemonPid, 0) << r.out;
    ASSERT_TRUE(run.waitPort(p.xml));
    EXPECT_TRUE(run.waitPort(second));
    client cash(p.xml);
    cash.receiveUntil("\r\n");
    cash.send(DECL + "<mess><type>0200000000</type><kkm>2</kkm></mess>");
    // utf is on in the example: 914 arrives in UTF-8, padded.
    const std::string answer = cash.receive(1u << 16, 500);
    EXPECT_EQ(0u, answer.find(DECL + "<mess><code>914</code><kkm>2</kkm><resp>Пинпад занят</resp>"));
    EXPECT_EQ(0, run.stop());
}

} // namespace
