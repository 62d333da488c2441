// Companion programs started by the real daemon. The started program records
// its process id and arguments; the daemon's children in /proc tell how many
// programs were started, found or not, and when they have all ended.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "e2e_pinpad.h"
#include "service_daemon.h"

namespace {

using args = std::vector<std::string>;

struct run {
    int pid;
    args argv;
};

// The runs recorded in the file, in the order they were started.
std::vector<run> recorded(const std::string& file)
{
    std::vector<run> out;
    std::istringstream in(readFile(file));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field;
        run r{0, {}};
        std::getline(fields, field, '\t');
        r.pid = atoi(field.c_str());
        while (std::getline(fields, field, '\t'))
            r.argv.push_back(field);
        out.push_back(r);
    }
    // Process ids are handed out in fork order.
    std::sort(out.begin(), out.end(), [](const run& a, const run& b) { return a.pid < b.pid; });
    return out;
}

std::vector<int> childrenOf(int pid)
{
    std::vector<int> out;
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    int child;
    while (in >> child)
        out.push_back(child);
    return out;
}

bool ended(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

// The commands of the "INF: run" lines, in order.
std::vector<std::string> runLines(const std::string& log)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    const std::string head = "INF: run '";
    while (std::getline(in, line)) {
        const size_t at = line.find(head);
        if (at != std::string::npos && line.size() > at + head.size() && line.back() == '\'')
            out.push_back(line.substr(at + head.size(), line.size() - at - head.size() - 1));
    }
    return out;
}

std::string withCrLf(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// Children of ended daemons are handed to this process; collect them.
void reapOrphans()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The directory of the recording program goes onto PATH, where the daemon must
// not look for it.
class onPath {
public:
    onPath()
    {
        const char* path = getenv("PATH");
        old = path ? path : "";
        std::string dir = ARGREC_BINARY;
        dir.resize(dir.rfind('/'));
        setenv("PATH", (dir + ":" + old).c_str(), 1);
    }
    ~onPath() { setenv("PATH", old.c_str(), 1); }

private:
    std::string old;
};

TEST(Companion, ExecLinesStartTheirPrograms)
{
    const std::string longArg(1023 - 11, 'A');
    const std::string cutArg(1023 - 11, 'B');
    const struct {
        const char* name;
        std::string lines; // of the section, after its keys
        bool crlf;
        std::vector<args> runs;
        std::vector<std::string> logged;
        size_t started; // programs started, found or not
    } cases[] = {
        {"one program", "exec ./rec -v\n", false, {{"./rec", "-v"}}, {"./rec -v"}, 1},
        {"CR LF line ends", "exec ./rec -v\n", true, {{"./rec", "-v"}}, {"./rec -v"}, 1},
        {"blank commands", "exec\nexec   \nexec\t\n", false, {}, {}, 0},
        {"order and repeats", "exec ./rec first\nloglevel 1\nexec ./rec second\nexec ./rec first\n", false,
         {{"./rec", "first"}, {"./rec", "second"}, {"./rec", "first"}}, {"./rec first", "./rec second", "./rec first"}, 3},
        {"not at the line start", "  exec ./rec a\n#exec ./rec b\nkey exec ./rec c\nEXEC ./rec d\n", false, {}, {}, 0},
        {"fifth character skipped", "execu./rec glued\nexec\t./rec tab\n", false, {{"./rec", "glued"}, {"./rec", "tab"}},
         {"./rec glued", "./rec tab"}, 2},
        {"blanks split, comment kept", "exec ./rec  a   b \nexec ./rec # note\n", false,
         {{"./rec", "a", "b"}, {"./rec", "#", "note"}}, {"./rec  a   b", "./rec # note"}, 2},
        {"no search along PATH", "exec argrec viapath\nexec rec here\nexec ./missing x\n", false, {{"rec", "here"}},
         {"argrec viapath", "rec here", "./missing x"}, 3},
        {"long lines", "exec ./rec " + longArg + "\nexec ./rec " + cutArg + "BBBBBBB\nexec ./rec after\n", false,
         {{"./rec", longArg}, {"./rec", cutArg}}, {"./rec " + longArg, "./rec " + cutArg}, 2},
    };
    onPath path;
    for (const auto& k : cases) {
        reapOrphans();
        consoleDaemon daemon;
        ASSERT_EQ(0, symlink(ARGREC_BINARY, daemon.path("rec").c_str()));
        std::string text = "[dorvish]\nlog log_%s.txt\nxmlport " + std::to_string(daemon.xmlPort) + "\n" + k.lines + "[other]\n";
        ASSERT_TRUE(daemon.startWith(k.crlf ? withCrLf(text) : text)) << k.name;

        // The programs are started before the loop; a greeting shows that the loop runs, so
        // every program has been forked. Wait for them to end.
        {
            client cash(daemon.xmlPort);
            EXPECT_EQ(0u, cash.receiveUntil("\r\n").find("EFT-server. ")) << k.name;
        }
        std::vector<int> children;
        eventually([&] {
            children = childrenOf(daemon.run.daemonPid);
            return children.size() >= k.started && std::all_of(children.begin(), children.end(), ended);
        });
        EXPECT_EQ(k.started, children.size()) << k.name;
        EXPECT_EQ(k.logged, runLines(daemon.log())) << k.name;
        std::vector<run> runs = recorded(daemon.path("argrec.out"));
        std::vector<args> argvs;
        for (const run& r : runs)
            argvs.push_back(r.argv);
        EXPECT_EQ(k.runs, argvs) << k.name;
        EXPECT_TRUE(has(daemon.log(), "Start\n")) << k.name;
    }
}

TEST(Companion, NothingStartsWhenInitialisationFails)
{
    onPath path;
    consoleDaemon daemon;
    ASSERT_EQ(0, symlink(ARGREC_BINARY, daemon.path("rec").c_str()));
    daemon.run.config("dorvish.cfg", "[dorvish]\nlog log_%s.txt\nexec ./rec never\n");
    daemon.run.start({"-c", "dorvish.cfg"});
    EXPECT_EQ(0, daemon.run.waitExit());
    const std::string log = daemon.log();
    EXPECT_TRUE(has(log, "Stop\n")) << log;
    EXPECT_TRUE(runLines(log).empty()) << log;
}

TEST(Companion, ProgramsOutliveTheServer)
{
    onPath path;
    consoleDaemon daemon;
    // A program still running when the server stops: a shell script that
    // waits for a file the test creates afterwards.
    writeFile(daemon.path("wait.sh"), "#!/bin/sh\nwhile [ ! -e go ]; do sleep 0.05; done\necho done > finished\n");
    chmod(daemon.path("wait.sh").c_str(), 0755);
    ASSERT_TRUE(daemon.startWith("[dorvish]\nlog log_%s.txt\nxmlport " + std::to_string(daemon.xmlPort) +
                                 "\nexec ./wait.sh\n"));
    std::vector<int> children;
    ASSERT_TRUE(eventually([&] { return (children = childrenOf(daemon.run.daemonPid)).size() == 1; }));
    EXPECT_EQ(0, daemon.run.stop());
    EXPECT_FALSE(ended(children[0])); // not stopped with the server
    writeFile(daemon.path("go"), "");
    EXPECT_TRUE(eventually([&] { return fileSize(daemon.path("finished")) > 0; }));
    // It was handed to this process when the daemon ended.
    waitpid(children[0], nullptr, 0);
    reapOrphans();
}

// The descriptors a process holds, each with what it refers to.
std::vector<std::pair<int, std::string>> descriptorsOf(int pid)
{
    std::vector<std::pair<int, std::string>> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char target[256] = "";
            const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            out.emplace_back(atoi(e->d_name), std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The daemon's child once it runs the program (before exec it is still a copy
// of the daemon), 0 when none did in time.
int companionRunning(int daemonPid, const std::string& program)
{
    int found = 0;
    eventually([&] {
        for (int child : childrenOf(daemonPid)) {
            if (readFile("/proc/" + std::to_string(child) + "/cmdline").compare(0, program.size() + 1,
                                                                                program + '\0') == 0)
                found = child;
        }
        return found != 0;
    });
    return found;
}

// Descriptors this test process would hand on are closed at the daemon's exec,
// so that what the companion holds is the daemon's doing alone. No allocation:
// this runs between fork and exec.
void inheritNothingButTheStandardDescriptors()
{
    for (int fd = 3; fd < 4096; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// A companion still running when the daemon is killed holds neither its pid
// file's lock nor its listeners: a cash register is refused while no daemon
// runs, and the next start under the same name locks, listens and answers.
TEST(Companion, HoldsNothingOfTheDaemonSoAKilledDaemonStartsAgain)
{
    consoleDaemon daemon;
    daemon.run.beforeExec = inheritNothingButTheStandardDescriptors;
    const std::string text = "[dorvish]\nlog log_%s.txt\nxmlport " + std::to_string(daemon.xmlPort) +
                             "\nserviceport " + std::to_string(daemon.servicePort) + "\nexec /bin/sleep 60\n";
    ASSERT_TRUE(daemon.startWith(text));
    std::vector<int> companions;
    companions.push_back(companionRunning(daemon.run.daemonPid, "/bin/sleep"));
    ASSERT_NE(0, companions[0]);
    const std::vector<std::pair<int, std::string>> standard = {{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    // Its dynamic loader holds files of its own (ld.so.cache) for a moment while it
    // starts; what the daemon leaked would stay.
    std::vector<std::pair<int, std::string>> held;
    eventually([&] { return (held = descriptorsOf(companions[0])) == standard; });
    EXPECT_EQ(standard, held);

    ASSERT_EQ(0, kill(daemon.run.daemonPid, SIGKILL));
    ASSERT_EQ(daemon.run.daemonPid, waitpid(daemon.run.daemonPid, nullptr, 0));
    daemon.run.daemonPid = 0;
    EXPECT_FALSE(ended(companions[0]));
    {
        client refused(daemon.xmlPort);
        EXPECT_FALSE(refused.ok) << "a connection nobody will answer was accepted";
    }

    const runResult again = daemon.run.start({"-c", "dorvish.cfg"});
    EXPECT_TRUE(has(again.out, "Start daemon, PID: ")) << again.out;
    EXPECT_FALSE(has(again.out, "Cant lock PID")) << again.out;
    ASSERT_GT(daemon.run.daemonPid, 0);
    ASSERT_TRUE(daemon.run.waitPort(daemon.xmlPort));
    companions.push_back(companionRunning(daemon.run.daemonPid, "/bin/sleep"));
    {
        cashRegister cash(daemon.xmlPort);
        EXPECT_EQ(0u, cash.greeting.find("EFT-server. ")) << cash.greeting;
        EXPECT_EQ("911", element(cash.exchange("<type>0600000000</type><kkm>1</kkm>"), "code"));
    }
    EXPECT_EQ(0, daemon.run.stop());
    for (int pid : companions) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
}

}  // namespace
