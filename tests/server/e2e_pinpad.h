#ifndef E2E_PINPAD_H
#define E2E_PINPAD_H

// The real daemon with simulated PIN pads over loopback: a pinpad program per
// terminal port (pinpad_run.h), its event log read back by the test, and cash
// registers as TCP clients. Everything waits for a condition with a generous deadline.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cash_documents.h"
#include "dorvish_run.h"
#include "pinpad_run.h"

// A cash register: connects, takes the greeting, and sends requests.
class cashRegister {
public:
    explicit cashRegister(int port) : conn(port) { greeting = conn.receiveUntil("\r\n", 5000); }

    bool send(const std::string& body) { return conn.send(requestDocument(body)); }
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
    std::string logName() const { return dailyLogName("dorvish_", ".log"); }
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
