#ifndef E2E_RIG_H
#define E2E_RIG_H

// Every real part at once: the test host loads the plug-in, the plug-in talks to a
// dorvish daemon over loopback, the daemon talks to a simulated PIN pad. Each part runs
// as its own process in a scratch directory; the test waits for conditions with generous
// deadlines and reads back the result record, the PIN pad's event log and the daemon's log.

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../settings_lock.h"
#include "cash_documents.h"
#include "dorvish_run.h"
#include "pinpad_run.h"

namespace e2e {

// The plug-in's settings file: its path is fixed, so the file is shared with every other
// test program that runs the plug-in, and all of them hold this lock while they use it.
class pluginSettings {
public:
    pluginSettings()
    {
        hadOriginal = access(path(), F_OK) == 0;
        if (hadOriginal)
            original = readFile(path());
        usable = lock.held() && makeDirs() && (hadOriginal ? access(path(), W_OK) == 0 : probe());
    }
    ~pluginSettings()
    {
        if (usable) {
            if (hadOriginal)
                writeFile(path(), original);
            else
                unlink(path());
            for (auto it = createdDirs.rbegin(); it != createdDirs.rend(); ++it)
                rmdir(it->c_str());
        }
    }
    pluginSettings(const pluginSettings&) = delete;
    pluginSettings& operator=(const pluginSettings&) = delete;

    static const char* path() { return "/morvask/cash/paysystems/vantrel/vantrel.conf"; }
    // False without the right to write the fixed path (not root).
    bool writable() const { return usable; }

    void point(int port, const std::string& kkm, int timeoutSeconds = 30) const
    {
        writeFile(path(), "[vantrel]\nhost=127.0.0.1\nport=" + std::to_string(port) + "\ntimeout=" +
                              std::to_string(timeoutSeconds) + "\nkkm=" + kkm + "\n");
    }

private:
    bool makeDirs()
    {
        const std::string full = path();
        for (size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
            const std::string dir = full.substr(0, slash);
            if (mkdir(dir.c_str(), 0755) == 0)
                createdDirs.push_back(dir);
            else if (errno != EEXIST)
                return false;
        }
        return true;
    }
    static bool probe()
    {
        FILE* f = fopen(path(), "wb");
        if (!f)
            return false;
        fclose(f);
        unlink(path());
        return true;
    }

    settingsLock lock;
    bool hadOriginal = false;
    bool usable = false;
    std::string original;
    std::vector<std::string> createdDirs;
};

// The simulated PIN pad on one terminal port, with its event log and output in the
// scratch directory.
class pinpad : public pinpadRun {
public:
    pinpad(const std::string& dir, int port, const std::vector<std::string>& rules)
        : pinpadRun(port, rules, dir + "/pinpad", true)
    {
    }

    // What the PIN pad received, one "recv KIND ..." line per request of that kind.
    std::vector<std::string> received(const std::string& kind) const { return lines("recv " + kind + " "); }
    bool waitReceived(const std::string& kind, size_t count, int ms = 20000) const
    {
        return waitLines("recv " + kind + " ", count, ms);
    }
};

// The test programs name it e2e::fieldOf, with the rest of the rig.
using ::fieldOf;

// A value of a print image's JSON text: a string without its quotes, or a bare token.
// Tolerant of the serializer's spacing; the texts we look at hold no escapes.
inline std::string jsonValue(const std::string& json, const std::string& key)
{
    const std::string quoted = "\"" + key + "\"";
    size_t at = json.find(quoted);
    if (at == std::string::npos)
        return "<missing>";
    at += quoted.size();
    while (at < json.size() && (json[at] == ' ' || json[at] == ':'))
        ++at;
    if (at < json.size() && json[at] == '"') {
        const size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    }
    const size_t end = json.find_first_of(",}", at);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// One run of the test host: its exit status, the result record's lines and print images.
struct hostResult {
    int status = -1;
    std::map<std::string, std::string> record;
    std::vector<std::string> images;
    std::string out, err, pluginLog;

    std::string operator[](const std::string& key) const
    {
        const auto it = record.find(key);
        return it == record.end() ? "<missing>" : it->second;
    }
};

inline std::ostream& operator<<(std::ostream& os, const hostResult& r)
{
    return os << "testhost exit " << r.status << "\n--- output\n"
              << r.out << "--- errors\n"
              << r.err << "--- plug-in log\n"
              << r.pluginLog;
}

// Runs "HOST --plugin PLUGIN args..." with the plug-in's log in dir, waiting at most ms. HOST is
// the test host, or the layout host with a serializer in qjson's real layout.
inline hostResult runHost(const std::string& dir, const std::vector<std::string>& args, int ms = 120000,
                          const std::string& host = TESTHOST_BINARY)
{
    static int runs = 0;
    const std::string stem = dir + "/host" + std::to_string(++runs);
    std::vector<std::string> all = {host, "--plugin", PLUGIN_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = spawn(all, stem + ".out", stem + ".err", {"DORVISH_PLUGIN_LOG=" + stem + ".log"});
    hostResult r;
    // Never wait for or signal -1: that would reach every process of the user.
    if (pid < 0) {
        r.err = std::string("cannot start the test host: ") + strerror(errno) + "\n";
        return r;
    }
    const long long end = monoMs() + ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && monoMs() < end)
        usleep(20000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r.err = "testhost did not end in time\n";
    } else if (done == pid && WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    }
    r.out = readFile(stem + ".out");
    r.err += readFile(stem + ".err");
    r.pluginLog = readFile(stem + ".log");
    size_t a = 0;
    while (a < r.out.size()) {
        size_t b = r.out.find('\n', a);
        if (b == std::string::npos)
            b = r.out.size();
        const std::string line = r.out.substr(a, b - a);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            const std::string key = line.substr(0, colon);
            if (key.compare(0, 11, "printImage[") == 0)
                r.images.push_back(line.substr(colon + 2));
            else
                r.record[key] = line.substr(colon + 2);
        }
        a = b + 1;
    }
    return r;
}

// A dorvish daemon under a name of its own, with terminal 1 on a free port, and the
// PIN pad that serves that terminal.
class rig {
public:
    explicit rig(const std::string& keys, const std::vector<std::string>& rules = {}) : cashPort(freeTcpPort())
    {
        terminalPort = freeTcpPort();
        // Short timeouts keep a failing case quick; pings stay out of the way.
        run.config("test.cfg", "[dorvish]\nlog dorvish_%s.log\nloglevel 7\nxmlport " + std::to_string(cashPort) +
                                   "\nport_1 " + std::to_string(terminalPort) +
                                   "\npng_period 600\npur_timeout 2\nref_timeout 2\nvoi_timeout 2\n"
                                   "stl_timeout 2\ncmp_timeout 2\n" +
                                   keys);
        started = run.start({"-c", "test.cfg"}).status == 0 && run.waitPort(cashPort);
        if (started)
            pad.reset(new pinpad(run.dir, terminalPort, rules));
    }
    // A clean stop: a sanitizer finding shows in the exit statuses.
    ~rig()
    {
        if (pad) {
            EXPECT_EQ(0, pad->stop()) << "the PIN pad did not stop cleanly";
        }
        if (started) {
            EXPECT_EQ(0, run.stop()) << "the daemon did not stop cleanly";
        }
    }
    rig(const rig&) = delete;
    rig& operator=(const rig&) = delete;

    std::string logName() const { return dailyLogName("dorvish_", ".log"); }
    std::string log() const { return run.log(logName()); }
    bool logHas(const std::string& part, int ms = 10000) const
    {
        return run.log(logName(), part, ms).find(part) != std::string::npos;
    }

    // True once terminal 1 has connected and takes requests: a version request is not
    // refused as busy. That is also how the end of an automatic reversal shows.
    bool ready(int ms = 30000) const
    {
        if (!logHas("Connected terminal: 00000001", ms))
            return false;
        const long long end = monoMs() + ms;
        while (monoMs() < end) {
            client c(cashPort);
            c.receiveUntil("\r\n", 3000);
            c.send(requestDocument("<type>0600000000</type><kkm>1</kkm>"));
            const std::string answer = c.receiveUntil("</mess>", 10000);
            if (answer.find("<code>") != std::string::npos && answer.find("<code>914</code>") == std::string::npos)
                return true;
            usleep(100000);
        }
        return false;
    }

    dorvishRun run;
    int cashPort;
    int terminalPort = 0;
    bool started = false;
    std::unique_ptr<pinpad> pad;
};

} // namespace e2e

#endif
