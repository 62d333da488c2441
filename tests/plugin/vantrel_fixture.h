#pragma once

// Helpers for the tests of the plug-in class: the settings file at its fixed path, the log
// the Log4Qt stand-in writes, a Qt application object, and a scripted fake dorvish server
// on loopback.

#include "VantrelPaymentProcessing.h"
#include "../settings_lock.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Readable failure messages for texts.
inline std::ostream& operator<<(std::ostream& out, const QString& text)
{
    return out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << text;
}

namespace vantrel_test {

inline const char* settingsPath() { return "/morvask/cash/paysystems/vantrel/vantrel.conf"; }

// The plug-in's sockets want the application object the host always has.
inline void ensureApp()
{
    static int argc = 1;
    static char name[] = "vantrel_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

inline std::string readFile(const std::string& path, bool* exists = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    if (exists)
        *exists = bool(in);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Gives a test the settings file at the plug-in's fixed path, written with the given text or
// absent, and puts back what was there before. Test programs run in parallel, so the file is
// held under an exclusive lock for the fixture's life.
class SettingsFile
{
public:
    SettingsFile()
    {
        original = readFile(settingsPath(), &hadOriginal);
        usable = lock.held() && makeDirs() && canWrite();
    }

    ~SettingsFile()
    {
        if (usable) {
            if (hadOriginal)
                writeRaw(original);
            else
                std::remove(settingsPath());
            for (auto it = createdDirs.rbegin(); it != createdDirs.rend(); ++it)
                ::rmdir(it->c_str());
        }
    }

    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    // False when the process may not write the fixed path. Without root that is expected and
    // the test skips; as root (as in CI) it is a failure of its own, never a skip.
    bool writable() const { return usable; }

    void write(const std::string& text) { writeRaw(text); }
    void remove() { std::remove(settingsPath()); }

    // "[vantrel]" with the given keys, e.g. {"host=127.0.0.1", "port=4000"}.
    void writeGroup(const std::vector<std::string>& lines)
    {
        std::string text = "[vantrel]\n";
        for (const std::string& line : lines)
            text += line + "\n";
        writeRaw(text);
    }

private:
    bool makeDirs()
    {
        const std::string path = settingsPath();
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string dir = path.substr(0, slash);
            if (::mkdir(dir.c_str(), 0755) == 0)
                createdDirs.push_back(dir);
            else if (errno != EEXIST)
                return false;
        }
        return true;
    }

    bool canWrite() { return ::access(settingsPath(), F_OK) == 0 ? ::access(settingsPath(), W_OK) == 0 : probeCreate(); }

    bool probeCreate()
    {
        std::ofstream out(settingsPath(), std::ios::binary);
        if (!out)
            return false;
        out.close();
        std::remove(settingsPath());
        return true;
    }

    void writeRaw(const std::string& text)
    {
        {
            std::ofstream out(settingsPath(), std::ios::binary | std::ios::trunc);
            out << text;
            out.close();
            if (!out)
                ADD_FAILURE() << "could not write " << settingsPath();
        }
        // Qt keeps a parsed settings file per process and rereads it only when its size or
        // modification time changed; two writes within one file-system tick may share both.
        static time_t stamp = ::time(nullptr);
        const timespec times[2] = {{++stamp, 0}, {stamp, 0}};
        if (::utimensat(AT_FDCWD, settingsPath(), times, 0) != 0)
            ADD_FAILURE() << "could not set the time of " << settingsPath();
    }

    settingsLock lock;
    bool hadOriginal = false;
    bool usable = false;
    std::string original;
    std::vector<std::string> createdDirs;
};

// Root may always write the fixed path, so there a settings file that cannot be made fails
// the test instead of letting it skip unseen.
inline bool settingsRequired() { return ::geteuid() == 0; }

#define VANTREL_NEED_SETTINGS(settings)                                                      \
    do {                                                                                   \
        if (!(settings).writable()) {                                                      \
            if (vantrel_test::settingsRequired())                                          \
                GTEST_FAIL() << "cannot write " << vantrel_test::settingsPath()            \
                             << " although running as root";                              \
            GTEST_SKIP() << "cannot write " << vantrel_test::settingsPath()                \
                         << " (the tests that need the settings file run as root)";       \
        }                                                                                  \
    } while (0)

// Points the Log4Qt stand-in at a file of this test's own and reads back its lines.
class LogCapture
{
public:
    LogCapture()
    {
        char name[] = "/tmp/vantrel-log-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        path = name;
        ::setenv("DORVISH_PLUGIN_LOG", path.c_str(), 1);
    }
    ~LogCapture()
    {
        ::unsetenv("DORVISH_PLUGIN_LOG");
        std::remove(path.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whole lines as the stand-in writes them: "<LEVEL> payment <text>". A logged text that
    // holds line feeds (the request document) continues over several lines.
    // The whole file: a NUL byte that reached the log stays in the text (and is seen), rather
    // than hiding it and every line after it.
    QStringList lines() const
    {
        QStringList result = text().split(QLatin1Char('\n'));
        if (!result.isEmpty() && result.last().isEmpty())
            result.removeLast();
        return result;
    }
    QString text() const
    {
        const std::string bytes = readFile(path);
        return QString::fromUtf8(bytes.data(), int(bytes.size()));
    }
    int count(const QString& needle) const { return text().count(needle); }
    void clear() { std::ofstream(path, std::ios::trunc); }

    std::string path;
};

// A loopback listener that accepts one connection and plays a script on it, in a thread of
// the test. Every wait is bounded, so a client that misbehaves cannot hang the test.
class FakeServer
{
public:
    struct Step
    {
        enum Kind { Send, ReadRequest, AwaitReads, Pause, HoldUntilClosed, Close } kind;
        std::string bytes;
        int count = 0;  // AwaitReads: reads the client has logged; Pause: milliseconds
    };

    static Step send(const std::string& bytes) { return {Step::Send, bytes, 0}; }
    static Step readRequest() { return {Step::ReadRequest, {}, 0}; }
    // Waits until the client has logged this many reads, so the next bytes reach it in a
    // read of their own.
    static Step awaitReads(int reads) { return {Step::AwaitReads, {}, reads}; }
    static Step pause(int ms) { return {Step::Pause, {}, ms}; }
    static Step holdUntilClosed() { return {Step::HoldUntilClosed, {}, 0}; }
    static Step close() { return {Step::Close, {}, 0}; }

    // The greeting line the server writes first.
    static std::string greeting() { return "EFT-server. dorvish test\r\n"; }

    // Refusing: bound without listening, so a connection is refused. Idle: listens, accepts
    // nothing, and tells whether a connection is waiting.
    enum Mode { Scripted, Refusing, Idle };

    FakeServer(std::vector<Step> script, const LogCapture* log = nullptr, Mode mode = Scripted)
        : steps(std::move(script)), log(log)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        boundPort = ntohs(address.sin_port);
        // A bound socket that does not listen holds the port, and connecting to it is refused.
        if (mode != Refusing)
            ::listen(fd, 4);
        if (mode == Scripted)
            worker = std::thread([this] { run(); });
    }

    ~FakeServer()
    {
        stop = true;
        if (worker.joinable())
            worker.join();
        ::close(fd);
    }

    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return boundPort; }

    // Joins the script's thread, then tells what the client sent and whether it connected.
    void finish()
    {
        if (worker.joinable())
            worker.join();
    }
    std::string request()
    {
        finish();
        return received;
    }
    bool wasConnected()
    {
        finish();
        return connected;
    }
    // Idle mode: a connection is waiting in the listener's queue.
    bool hasPendingConnection() const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    // Waits for one descriptor event until the deadline or until the test ends.
    bool waitFor(int sock, short events, Clock::time_point deadline)
    {
        while (!stop && Clock::now() < deadline) {
            pollfd p{sock, events, 0};
            if (::poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void run()
    {
        const Clock::time_point acceptBy = Clock::now() + std::chrono::seconds(10);
        if (!waitFor(fd, POLLIN, acceptBy))
            return;
        const int client = ::accept(fd, nullptr, nullptr);
        if (client < 0)
            return;
        connected = true;
        for (const Step& step : steps) {
            if (stop)
                break;
            if (!play(client, step))
                break;
        }
        ::close(client);
    }

    bool play(int client, const Step& step)
    {
        switch (step.kind) {
        case Step::Send: {
            size_t sent = 0;
            while (sent < step.bytes.size()) {
                const ssize_t n = ::send(client, step.bytes.data() + sent,
                                         step.bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    if (n < 0 && (errno == EINTR || errno == EAGAIN))
                        continue;
                    return false;
                }
                sent += size_t(n);
            }
            return true;
        }
        case Step::ReadRequest: {
            // The plug-in writes its request in one go; it ends with the closing tag.
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
            while (received.find("</mess>") == std::string::npos) {
                if (!waitFor(client, POLLIN, deadline))
                    return false;
                char chunk[4096];
                const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
                if (n <= 0)
                    return false;
                received.append(chunk, size_t(n));
            }
            return true;
        }
        case Step::AwaitReads: {
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
            while (!stop && Clock::now() < deadline) {
                if (log && log->count(QStringLiteral(" получены данные: ")) >= step.count)
                    return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return false;
        }
        case Step::Pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.count));
            return true;
        case Step::HoldUntilClosed: {
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
            while (waitFor(client, POLLIN, deadline)) {
                char chunk[4096];
                const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                received.append(chunk, size_t(n));
            }
            return true;
        }
        case Step::Close:
            return false;
        }
        return false;
    }

    std::vector<Step> steps;
    const LogCapture* log;
    int fd = -1;
    int boundPort = 0;
    std::atomic<bool> stop{false};
    bool connected = false;
    std::string received;
    std::thread worker;
};

// Settings that send the plug-in's requests to a fake server.
inline std::vector<std::string> serverSettings(int port, int timeoutSeconds,
                                               std::vector<std::string> more = {})
{
    std::vector<std::string> lines = {"host=127.0.0.1", "port=" + std::to_string(port),
                                      "timeout=" + std::to_string(timeoutSeconds)};
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// A whole answer of the server as it reaches the plug-in: its declaration, the element and
// the CR LF CR LF after it.
inline std::string answerDocument(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><mess>" + body + "</mess>\r\n\r\n";
}

} // namespace vantrel_test
