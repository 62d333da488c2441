// Files of the real daemon: the pid file that must not lead anywhere else or
// belong to another, the modes of everything the daemon creates, a file-size
// limit, and a save or a paste that files left by others must not subvert.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "e2e_pinpad.h"
#include "file_limits.h"
#include "service_daemon.h"

namespace {

const std::string PROMPT = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";

// Sets the test process's mask for a while; the started daemon inherits it.
class scopedMask {
public:
    explicit scopedMask(mode_t mask) : old(umask(mask)) {}
    ~scopedMask() { umask(old); }

private:
    mode_t old;
};

// Permission bits of the file, -1 when it is not there.
int modeOf(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// The file mode mask of a running process, from /proc.
int maskOf(pid_t pid)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("Umask:\t");
    return at == std::string::npos ? -1 : static_cast<int>(strtol(status.c_str() + at + 7, nullptr, 8));
}

// The refused daemon child has become ours; its exit status, -1 when it did
// not end. A daemon that started after all is stopped, so that it does not
// outlive the test.
int refusedChildStatus(const std::string& exe)
{
    int status = 0;
    pid_t child = -1;
    const long long end = monoMs() + 5000;
    while (monoMs() < end && (child = waitpid(-1, &status, WNOHANG)) <= 0)
        usleep(10000);
    if (child > 0)
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::string self = std::to_string(getpid());
    std::istringstream children(readFile("/proc/" + self + "/task/" + self + "/children"));
    pid_t pid;
    while (children >> pid) {
        if (readFile("/proc/" + std::to_string(pid) + "/cmdline").compare(0, exe.size() + 1, exe + '\0') == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    return -1;
}

TEST(DaemonFiles, PidPathThatCannotBeUsedIsRefused)
{
    const bool root = geteuid() == 0;
    const struct {
        const char* name;
        void (*plant)(const std::string& pidFile, const std::string& dir);
        void (*check)(const std::string& pidFile, const std::string& dir);
        bool needsRoot; // to hand a file to another user
    } cases[] = {
        {"link to a file",
         [](const std::string& pid, const std::string& dir) {
             writeFile(dir + "/precious", "keep me\n");
             EXPECT_EQ(0, symlink((dir + "/precious").c_str(), pid.c_str()));
         },
         [](const std::string&, const std::string& dir) { EXPECT_EQ("keep me\n", readFile(dir + "/precious")); },
         false},
        {"dangling link",
         [](const std::string& pid, const std::string& dir) {
             EXPECT_EQ(0, symlink((dir + "/victim").c_str(), pid.c_str()));
         },
         [](const std::string&, const std::string& dir) { EXPECT_EQ(-1, modeOf(dir + "/victim")); }, false},
        {"directory", [](const std::string& pid, const std::string&) { EXPECT_EQ(0, mkdir(pid.c_str(), 0700)); },
         [](const std::string&, const std::string&) {}, false},
        // Its owner could hold the lock, or rewrite the pid for a stop script.
        {"file of another user",
         [](const std::string& pid, const std::string&) {
             writeFile(pid, "4242");
             EXPECT_EQ(0, chown(pid.c_str(), 65534, 65534));
         },
         [](const std::string& pid, const std::string&) {
             EXPECT_EQ("4242", readFile(pid));
             struct stat info;
             ASSERT_EQ(0, stat(pid.c_str(), &info));
             EXPECT_EQ(65534u, info.st_uid);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !root)
            continue;
        dorvishRun run;
        run.config("dorvish.cfg", "[dorvish]\nxmlport " + std::to_string(freeTcpPort()) + "\n");
        c.plant(run.pidFile, run.dir);
        const runResult r = run.start({"-c", "dorvish.cfg"});
        run.daemonPid = 0; // whatever the planted file holds, no daemon runs
        EXPECT_EQ(0, r.status); // the starter exits 0 whatever becomes of its child
        EXPECT_TRUE(has(r.out, "Cant create PID: " + run.pidFile + "\nDemon not starting...\n")) << r.out;
        EXPECT_EQ(1, refusedChildStatus(run.exe));
        c.check(run.pidFile, run.dir);
        rmdir(run.pidFile.c_str());
    }
}

TEST(DaemonFiles, RunsWithAMaskOfAtLeast027)
{
    const struct {
        mode_t inherited, daemon;
    } cases[] = {{0, 027}, {022, 027}, {002, 027}, {077, 077}, {0777, 0777}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inherited);
        consoleDaemon d;
        {
            scopedMask mask(c.inherited);
            ASSERT_TRUE(d.start());
        }
        EXPECT_EQ(static_cast<int>(c.daemon), maskOf(d.run.daemonPid));
    }
}

// Waits until terminal n takes requests: a version request not refused as busy.
bool waitIdle(cashRegister& cash, int n)
{
    const long long end = monoMs() + 15000;
    while (monoMs() < end) {
        const std::string code =
            element(cash.exchange("<type>0600000000</type><kkm>" + std::to_string(n) + "</kkm>"), "code");
        if (code != "914" && !code.empty())
            return true;
        usleep(100000);
    }
    return false;
}

// Started with no mask at all: the log, the success file, both configuration
// files and what a companion program creates stay closed to others.
TEST(DaemonFiles, NothingCreatedIsOpenToOthers)
{
    if (access(pinpadBinary().c_str(), X_OK) != 0)
        FAIL() << "the pinpad program is not built: " << pinpadBinary();
    const int servicePort = freeTcpPort();
    std::unique_ptr<e2eServer> server;
    {
        scopedMask none(0);
        // The companion records the mask it inherited, in a file of its own.
        server.reset(new e2eServer(1, "success_log 1\nmask 6X4\nserviceport " + std::to_string(servicePort) +
                                          "\nexec /bin/sh -c umask>companion.txt\n"));
    }
    ASSERT_TRUE(server->started);
    const std::string dir = server->run.dir;
    pinpadRun pad(dir, server->terminalPort(1), {});
    ASSERT_TRUE(server->connected(1));
    cashRegister cash(server->cashPort);
    ASSERT_TRUE(waitIdle(cash, 1));

    // The codec's keys reach the running daemon: the answer's card and the
    // success line are masked 6X4.
    const std::string doc = cash.exchange("<type>0200000000</type><amount>1000</amount><kkm>1</kkm>");
    ASSERT_EQ("00", element(doc, "code")) << doc;
    EXPECT_EQ("411111XXXXXX1111", element(doc, "card"));
    const std::string success = dir + "/" + dailyLogName("success_", ".log");
    const std::string line = readFile(success);
    EXPECT_EQ(1u, countOf(line, "\n")) << line;
    EXPECT_EQ(0u, line.find("TERM(")) << line;
    EXPECT_TRUE(has(line, ");AMOUNT(000000001000);PAN(411111XXXXXX1111);CARDID(VISA);RRN(" + element(doc, "rrn") +
                              ");STRACE(" + element(doc, "trace") + ");AUTH(" + element(doc, "auth") +
                              ");CARDHOLDER(TEST CARDHOLDER);AID(A0000000031010);TRANCERT(8D2F3A41C09B7E15);\n"))
        << line;

    // A paste that creates both configuration files.
    {
        client con(servicePort);
        ASSERT_EQ(398u, con.receive(398).size());
        ASSERT_TRUE(con.send("p\n"));
        ASSERT_EQ(PROMPT, con.receive(PROMPT.size()));
        ASSERT_TRUE(con.send("[dorvish]\n"));
        ASSERT_TRUE(eventually([&] { return fileSize(dir + "/config.cfg.tmp") == 10; }));
        ASSERT_TRUE(con.send("+++\n"));
        ASSERT_EQ("CONFIG WAS SAVED\n", con.receive(17));
    }
    ASSERT_TRUE(eventually([&] { return modeOf(dir + "/companion.txt") != -1; }));

    const struct {
        std::string file;
        int mode;
    } files[] = {
        {server->logName(), 0640},
        {dailyLogName("success_", ".log"), 0640},
        {"config.cfg.tmp", 0640},
        {"config.cfg", 0640},
        {"companion.txt", 0640},
    };
    for (const auto& f : files)
        EXPECT_EQ(f.mode, modeOf(dir + "/" + f.file)) << f.file;
    EXPECT_EQ(0600, modeOf(server->run.pidFile));
    EXPECT_EQ("0027\n", readFile(dir + "/companion.txt"));
}

// The shell behind the log listing holds none of the daemon's descriptors: a
// listing of the shell's own descriptors shows no socket and no pid file.
TEST(DaemonFiles, LogListingShellHoldsNothingOfTheDaemon)
{
    consoleDaemon d;
    // The pattern is expanded by the listing's shell, in its own process.
    ASSERT_TRUE(d.start("log /proc/self/fd/%s\n"));
    console con(d);
    client cash(d.xmlPort); // one accepted connection more
    // The listing goes out in one piece once the shell has ended.
    ASSERT_TRUE(con.c.send("l\n"));
    std::string listing = con.c.receiveUntil("\n");
    listing += con.c.receive(1 << 16, 200);
    EXPECT_TRUE(has(listing, "/proc/self/fd/0 -> /dev/null")) << listing;
    EXPECT_FALSE(has(listing, "socket:")) << listing;
    EXPECT_FALSE(has(listing, ".pid")) << listing;
}

// The day's log already at the file-size limit: every log line fails, and the
// daemon starts and serves all the same.
TEST(DaemonFiles, LogAtTheFileSizeLimitAtStart)
{
    consoleDaemon d;
    const std::string log = d.path(dailyLogName("log_", ".txt"));
    const std::string full = textOf(1000, 'l');
    writeFile(log, full);
    d.run.beforeExec = [] { limitFileSize(1000); };
    ASSERT_TRUE(d.start());
    {
        cashRegister cash(d.xmlPort);
        EXPECT_EQ(0u, cash.greeting.find("EFT-server. ")) << cash.greeting;
        EXPECT_EQ("911", element(cash.exchange("<type>0600000000</type><kkm>1</kkm>"), "code"));
    }
    console con(d);
    EXPECT_EQ(4096u, con.ask("v\n", 4096).size());
    EXPECT_EQ(full, readFile(log));
    EXPECT_EQ(0, d.run.stop());
}

const std::string OLD = "[dorvish]\nold 1\n";
const std::string NEW = "[dorvish]\nnew 1\n";

// Root bound like any user: by file modes, and unable to give a file away.
void runAsAnOrdinaryUser()
{
    bindByFileModes();
    if (geteuid() == 0)
        prctl(PR_CAPBSET_DROP, CAP_CHOWN, 0, 0, 0);
}

// The save replaces config.cfg only when the daemon may write it and can keep
// it in its owner's hands, whoever it runs as: a file of another user, or one
// of its own made read-only, stays as it is.
TEST(DaemonFiles, SaveOnlyWhereTheDaemonMayWrite)
{
    const bool root = geteuid() == 0;
    const struct {
        const char* name;
        mode_t mode;
        bool otherOwner; // handed to another user, which needs root
        bool writable;   // by the daemon
        bool saved;
    } cases[] = {
        {"own, writable", 0644, false, true, true},
        {"own, read-only", 0444, false, false, false},
        {"another user's", 0644, true, false, false},
        // The copy could not be given back to its owner.
        {"another user's, writable by all", 0666, true, true, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        if (k.otherOwner && !root)
            continue;
        consoleDaemon d;
        const std::string config = d.path("config.cfg");
        d.run.config("config.cfg", OLD);
        ASSERT_EQ(0, chmod(config.c_str(), k.mode));
        if (k.otherOwner) {
            ASSERT_EQ(0, chown(config.c_str(), 65534, 65534));
        }
        struct stat before;
        ASSERT_EQ(0, stat(config.c_str(), &before));
        ASSERT_EQ(!k.writable, unwritableForTheDaemon(config)) << "file modes do not bind root here";
        d.run.beforeExec = runAsAnOrdinaryUser;
        ASSERT_TRUE(d.start());
        console con(d);
        ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
        ASSERT_TRUE(con.paste(NEW, static_cast<long long>(NEW.size())));
        const std::string answer = k.saved ? "CONFIG WAS SAVED\n" : "CONFIG WAS NOT SAVED\n";
        EXPECT_EQ(answer, con.ask("+++\n", answer.size()));
        EXPECT_EQ(k.saved ? NEW : OLD, readFile(config));
        struct stat after;
        ASSERT_EQ(0, stat(config.c_str(), &after));
        EXPECT_EQ(before.st_uid, after.st_uid);
        EXPECT_EQ(before.st_gid, after.st_gid);
        if (!k.saved) {
            EXPECT_EQ(before.st_ino, after.st_ino);
            EXPECT_EQ(before.st_mode, after.st_mode);
        }
        EXPECT_EQ(0u, strayCopies(d.run.dir));
    }
}

// A temporary file left by an older server: whatever it held, and whatever a
// descriptor opened on it before the paste writes, never reaches config.cfg.
TEST(DaemonFiles, PasteStartsOnAFreshTemporaryFile)
{
    const std::string stale = "[dorvish]\nexec /bin/stale\n";
    const struct {
        const char* name;
        mode_t mode;
        bool writer; // another user holds it open for writing
        int after;   // the new file's mode
    } cases[] = {
        {"open to others, written through an old descriptor", 0666, true, 0640},
        {"read-only", 0444, false, 0640},
        {"owner only", 0600, false, 0600},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        consoleDaemon d;
        const std::string temp = d.path("config.cfg.tmp");
        d.run.config("config.cfg", OLD);
        d.run.config("config.cfg.tmp", stale);
        ASSERT_EQ(0, chmod(temp.c_str(), k.mode));
        const int writer = k.writer ? open(temp.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
        d.run.beforeExec = bindByFileModes;
        ASSERT_TRUE(d.start());
        console con(d);
        ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
        EXPECT_EQ("", readFile(temp));
        if (writer >= 0) {
            const std::string planted = "exec /bin/planted\n";
            EXPECT_EQ(static_cast<ssize_t>(planted.size()), write(writer, planted.data(), planted.size()));
        }
        ASSERT_TRUE(con.paste(NEW, static_cast<long long>(NEW.size())));
        EXPECT_EQ("CONFIG WAS SAVED\n", con.ask("+++\n", 17));
        EXPECT_EQ(NEW, readFile(d.path("config.cfg")));
        EXPECT_EQ(k.after, modeOf(temp));
        if (writer >= 0)
            close(writer);
    }
}

}  // namespace
