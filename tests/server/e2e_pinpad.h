#ifndef E2E_PINPAD_H
#define E2E_PINPAD_H

// The real daemon with simulated PIN pads over loopback: a pinpad program per
// terminal port, its event log read back by the test, and cash registers as TCP
// clients. Everything waits for a condition with a generous deadline.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dorvish_run.h"

// Built next to dorvish: <build>/server/dorvish and <build>/tools/pinpad/pinpad.
inline std::string pinpadBinary()
{
#ifdef PINPAD_BINARY
    return PINPAD_BINARY;
#else
    std::string path = DORVISH_BINARY;
    const size_t slash = path.rfind('/');
    path = path.substr(0, slash == std::string::npos ? 0 : slash);
    const size_t up = path.rfind('/');
    return path.substr(0, up == std::string::npos ? 0 : up) + "/tools/pinpad/pinpad";
#endif
}

// One pinpad process; SIGTERM when it goes.
class pinpadRun {
public:
    pinpadRun(const std::string& dir, int port, const std::vector<std::string>& rules)
        : logPath(dir + "/pinpad_" + std::to_string(port) + ".log")
    {
        std::vector<std::string> args = {pinpadBinary(), "--port", std::to_string(port), "--log", logPath,
                                         "--retry", "50"};
        for (const std::string& r : rules) {
            args.push_back("--rule");
            args.push_back(r);
        }
        pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~pinpadRun()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    pinpadRun(const pinpadRun&) = delete;
    pinpadRun& operator=(const pinpadRun&) = delete;

    std::string log() const { return readFile(logPath); }
    // Lines of the log holding part.
    std::vector<std::string> lines(const std::string& part) const
    {
        std::vector<std::string> out;
        const std::string text = log();
        size_t a = 0;
        while (a < text.size()) {
            size_t b = text.find('\n', a);
            if (b == std::string::npos)
                b = text.size();
            const std::string line = text.substr(a, b - a);
            if (line.find(part) != std::string::npos)
                out.push_back(line);
            a = b + 1;
        }
        return out;
    }
    // Waits until count lines hold part; false when the time ran out.
    bool waitLines(const std::string& part, size_t count, int ms = 10000) const
    {
        const long long end = monoMs() + ms;
        while (lines(part).size() < count) {
            if (monoMs() > end)
                return false;
            usleep(20000);
        }
        return true;
    }

    pid_t pid = -1;
    std::string logPath;
};

// The value of field tag in a pinpad "recv"/"send" line: " 03=0123456789".
inline std::string fieldOf(const std::string& line, const std::string& tag)
{
    const std::string key = " " + tag + "=";
    const size_t a = line.find(key);
    if (a == std::string::npos)
        return "";
    const size_t b = line.find(' ', a + key.size());
    return line.substr(a + key.size(), b == std::string::npos ? std::string::npos : b - a - key.size());
}

// A cash register: connects, takes the greeting, and sends requests.
class cashRegister {
public:
    explicit cashRegister(int port) : conn(port) { greeting = conn.receiveUntil("\r\n", 5000); }

    bool send(const std::string& body)
    {
        return conn.send("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mess>\n" + body + "\n</mess>\n");
    }
    // The next answer document, "" when none came in time.
    std::string answer(int ms = 10000)
    {
        const long long end = monoMs() + ms;
        while (pending.find("</mess>\r\n\r\n") == std::string::npos && monoMs() < end) {
            std::string more = conn.receive(pending.size() + 1, static_cast<int>(end - monoMs()));
            if (more.empty())
                break;
            pending += more;
        }
        const size_t at = pending.find("</mess>\r\n\r\n");
        if (at == std::string::npos)
            return "";
        const std::string doc = pending.substr(0, at + 11);
        pending.erase(0, at + 11);
        return doc;
    }
    std::string exchange(const std::string& body, int ms = 10000)
    {
        send(body);
        return answer(ms);
    }

    client conn;
    std::string greeting;
    std::string pending;
};

// The text of an element of an answer document.
inline std::string elementOf(const std::string& doc, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const size_t a = doc.find(open);
    if (a == std::string::npos)
        return "";
    const size_t b = doc.find("</" + name + ">", a);
    return b == std::string::npos ? "" : doc.substr(a + open.size(), b - a - open.size());
}

// A daemon with terminal ports 1..terminals and the given extra keys.
class e2eServer {
public:
    e2eServer(int terminals, const std::string& keys) : cashPort(freeTcpPort())
    {
        std::string cfg = "[dorvish]\nlog dorvish_%s.log\nloglevel 4\nxmlport " + std::to_string(cashPort) + "\n" + keys;
        for (int n = 1; n <= terminals; ++n) {
            ports.push_back(freeTcpPort());
            cfg += "port_" + std::to_string(n) + " " + std::to_string(ports.back()) + "\n";
        }
        run.config("test.cfg", cfg);
        started = run.start({"-c", "test.cfg"}).status == 0 && run.waitPort(cashPort);
    }
    // The daemon must stop cleanly: a sanitizer finding shows in its exit status.
    ~e2eServer()
    {
        if (started) {
            EXPECT_EQ(0, run.stop());
        }
    }
    int terminalPort(int n) const { return ports.at(static_cast<size_t>(n - 1)); }
    std::string logName() const
    {
        char day[16];
        time_t t = time(nullptr);
        struct tm local;
        localtime_r(&t, &local);
        strftime(day, sizeof day, "%Y%m%d", &local);
        return std::string("dorvish_") + day + ".log";
    }
    // The daemon's log once it holds marker.
    std::string log(const std::string& marker, int ms = 10000) const { return run.log(logName(), marker, ms); }
    // Waits until terminal n has connected.
    bool connected(int n, int ms = 10000) const
    {
        char line[64];
        snprintf(line, sizeof line, "Connected terminal: %08d", n);
        return contains(log(line, ms), line);
    }
    static bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    dorvishRun run;
    int cashPort;
    std::vector<int> ports;
    bool started = false;
};

#endif
