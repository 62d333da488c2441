// Companion programs started by the real daemon. The started program records
// its process id and arguments; the daemon's children in /proc tell how many
// programs were started, found or not, and when they have all ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

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

}  // namespace
