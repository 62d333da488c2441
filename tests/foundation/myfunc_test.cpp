#include "myfunc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "foundation/scoped_tz.h"
#include "log.h"

namespace {

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends the log lines of the functions under test to a file of our own.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/myfunc_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
        logFile_ = dir_ + "/test.log";
        setpath(logFile_.c_str());
    }
    void TearDown() override
    {
        std::remove(logFile_.c_str());
        rmdir(dir_.c_str());
        setpath("");
    }
    std::string logText() const { return fileText(logFile_); }
    std::string dir_;
    std::string logFile_;
};

TEST(Itoa, Values)
{
    const struct {
        int value, base;
        const char* expected;
    } cases[] = {
        {255, 16, "ff"},
        {-10, 10, "-10"},
        {0, 2, "0"},
        {5, 1, ""},
        {5, 37, ""},
        {5, -2, ""},
        {35, 36, "z"},
        {-35, 36, "-z"},
        {INT_MAX, 10, "2147483647"},
        {INT_MIN, 10, "-2147483648"},
        {INT_MIN, 2, "-10000000000000000000000000000000"},
        {INT_MIN, 16, "-80000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + " base " + std::to_string(c.base));
        char buffer[34];
        std::memset(buffer, 'Q', sizeof buffer);
        EXPECT_EQ(buffer, ps::itoa(c.value, buffer, c.base));
        EXPECT_STREQ(c.expected, buffer);
    }
}

TEST(Atoi16, Texts)
{
    const struct {
        std::string text;
        int expected;
    } cases[] = {
        {"ff", 255},
        {"FF", 255},
        {"aB09", 0xab09},
        {"", 0},
        {"0x10", -1},
        {"-1", -1},
        {"1g", -1},
        {" 1", -1},
        {"7fffffff", INT_MAX},
        // More digits than an int holds keep the low 32 bits instead of overflowing.
        {"123456789", 0x23456789},
        // Long texts are taken whole.
        {std::string(300, '0') + "1f", 31},
        {std::string(300, '0') + "z", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        EXPECT_EQ(c.expected, ps::atoi16(c.text.c_str()));
    }
}

TEST(HexToStr, FitsExactlyOrFails)
{
    unsigned char data[] = {0x0a, 0xff};
    char out[8];
    std::memset(out, 'Q', sizeof out);
    EXPECT_EQ(5, ps::hexToStr(data, 2, out, 5));
    EXPECT_STREQ("0aff", out);

    std::memset(out, 'Q', sizeof out);
    EXPECT_EQ(0, ps::hexToStr(data, 2, out, 4));
    EXPECT_EQ('Q', out[4]);
    EXPECT_EQ(5, ps::hexToStr(data, 2, nullptr, 0));

    EXPECT_EQ(1, ps::hexToStr(data, 0, out, 1));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, ps::hexToStr(data, 0, out, 0));
}

TEST(HexToStr, LongInputsStayInsideTheOutput)
{
    // Sizes where doubled 16-bit counts would wrap.
    std::vector<unsigned char> data(40000, 0xa5);
    std::vector<char> out(65535, 'Q');
    EXPECT_EQ(0, ps::hexToStr(data.data(), 40000, out.data(), 65535));

    std::vector<char> fits(60001);
    EXPECT_EQ(60001, ps::hexToStr(data.data(), 30000, fits.data(), 60001));
    EXPECT_EQ(60000u, std::strlen(fits.data()));
    EXPECT_EQ("a5a5", std::string(fits.data() + 59996));
    EXPECT_EQ(131071, ps::hexToStr(data.data(), 65535, nullptr, 0));
}

TEST(Trim, StripsTheBlankSet)
{
    const struct {
        std::string text, expected;
    } cases[] = {
        {" \tword \r\n", "word"},
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"a b", "a b"},
        {"\v\fa\tb\f\v", "a\tb"},
        {std::string("\0x", 2), std::string("\0x", 2)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, ps::trim(c.text)) << '"' << c.text << '"';
}

// Takes over an explode result, freeing it the way callers must.
bool takeParts(char** parts, std::vector<std::string>& out)
{
    if (!parts)
        return false;
    for (char** p = parts; *p; ++p) {
        out.push_back(*p);
        std::free(*p);
    }
    std::free(parts);
    return true;
}

TEST(Explode, Splits)
{
    using Parts = std::vector<std::string>;
    const struct {
        const char* text;
        char separator;
        int limit;
        bool strict;
        bool isNull;
        Parts expected;
    } cases[] = {
        {"12:30", ':', 2, false, false, {"12", "30"}},
        {"4X4", 'X', 2, false, false, {"4", "4"}},
        {"one  two", ' ', 0, false, false, {"one", "two"}},
        {" word", ' ', 0, false, false, {"word"}},
        {"word ", ' ', 0, false, false, {"word"}},
        {"   ", ' ', 0, false, false, {}},
        {"", ' ', 0, false, false, {}},
        {"a:b:c", ':', 2, false, false, {"a", "b"}},
        {"a:b:c", ':', -1, false, false, {"a", "b", "c"}},
        {"a:b:c", ':', 3, true, false, {"a", "b", "c"}},
        {"list logs", ' ', 4, true, true, {}},
        {"get a b c", ' ', 4, true, false, {"get", "a", "b", "c"}},
        {"get a b c d", ' ', 4, true, false, {"get", "a", "b", "c"}},
        {"a", 'X', 0, false, false, {"a"}},
        {"a::b", ':', 0, false, false, {"a", "b"}},
        {"a:b", '\0', 0, false, false, {"a:b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " limit " + std::to_string(c.limit));
        Parts parts;
        EXPECT_EQ(!c.isNull, takeParts(ps::explode(c.separator, c.text, c.limit, c.strict), parts));
        EXPECT_EQ(c.expected, parts);
    }
}

TEST(Explode, TextsBeyondSixteenBitLengths)
{
    const std::string big(70000, 'x');
    const std::string text = big + ":" + std::string(40000, 'y') + "::z";
    std::vector<std::string> parts;
    ASSERT_TRUE(takeParts(ps::explode(':', text.c_str(), 0, false), parts));
    ASSERT_EQ(3u, parts.size());
    EXPECT_EQ(big, parts[0]);
    EXPECT_EQ(std::string(40000, 'y'), parts[1]);
    EXPECT_EQ("z", parts[2]);
}

TEST(Strpos, FindsFirstOccurrence)
{
    const struct {
        const char *text, *part;
        int expected;
    } cases[] = {
        {"abc+++", "+++", 3}, {"abc", "zz", -1}, {"abc", "", 0}, {"", "a", -1}, {"a+a+", "a+", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, ps::strpos(c.text, c.part)) << c.text << " / " << c.part;
}

TEST(GetTimeLocal, FormatsOnlyWhenAllArgumentsGiven)
{
    char buffer[20] = "untouched";
    struct tm* now = ps::getTimeLocal(nullptr, buffer, sizeof buffer);
    ASSERT_NE(nullptr, now);
    EXPECT_STREQ("untouched", buffer);
    ASSERT_NE(nullptr, ps::getTimeLocal("%Y", buffer, sizeof buffer));
    EXPECT_EQ(std::to_string(ps::getTimeLocal(nullptr, nullptr, 0)->tm_year + 1900), buffer);
}

// The log's time stamp and file date, and the success file's date, are these formats
// of the moment; the daemon must still get them right after January 2038.
TEST(GetTimeLocal, MomentsPast2038)
{
    struct Case {
        const char* zone;
        long long moment;
        const char* stamp;
        const char* date;
    };
    const Case cases[] = {
        {"UTC0", 2147483648LL, "03:14:08 : ", "20380119"},   // the first second a 32-bit time_t lacks
        {"UTC0", 2214131696LL, "12:34:56 : ", "20400229"},
        {"MSK-3", 2214167400LL, "01:30:00 : ", "20400301"},  // 22:30 UTC, already the next day
        {"UTC0", 2240611199LL, "23:59:59 : ", "20401231"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        ScopedTz tz(c.zone);
        char stamp[20] = "";
        char date[20] = "";
        const time_t moment = static_cast<time_t>(c.moment);
        ASSERT_NE(nullptr, ps::getTimeLocalAt(moment, "%H:%M:%S : ", stamp, sizeof stamp));
        struct tm* local = ps::getTimeLocalAt(moment, "%Y%m%d", date, sizeof date);
        ASSERT_NE(nullptr, local);
        EXPECT_STREQ(c.stamp, stamp);
        EXPECT_STREQ(c.date, date);
        EXPECT_EQ(std::atoi(c.date) / 10000, local->tm_year + 1900);
    }
}

TEST(GetTimeLocal, TextThatDoesNotFitLeavesTheEmptyText)
{
    char buffer[4] = "old";
    ps::getTimeLocalAt(static_cast<time_t>(2214131696LL), "%Y%m%d", buffer, sizeof buffer);
    EXPECT_STREQ("", buffer);
}

using CpTest = LoggedTest;

TEST_F(CpTest, ResultHasFixedLength)
{
    const std::string cyrillic = "\x8f\xe0\xa8";  // "При" in CP866
    const std::string utf8 = "\xd0\x9f\xd1\x80\xd0\xb8";
    const struct {
        const char* name;
        const char *from, *to;
        std::string data, expected;
    } cases[] = {
        {"cyrillic fills the length", "CP866", "UTF-8", cyrillic, utf8},
        {"lower-case names", "cp866", "utf-8", cyrillic, utf8},
        {"ascii is padded", "CP866", "UTF-8", "abc", std::string("abc\0\0\0", 6)},
        {"longer than the length is cut", "UTF-8", "UTF-16LE", "ab", std::string("a\0b\0", 4)},
        {"600 bytes give 1024", "CP866", "UTF-8", std::string(600, 'a'),
         std::string(600, 'a') + std::string(424, '\0')},
        {"output full", "CP866", "UTF-8", std::string(600, '\xa8'),
         [] {
             std::string s;
             for (int i = 0; i < 512; ++i)
                 s += "\xd0\xb8";
             return s;
         }()},
        {"empty input", "CP866", "UTF-8", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, ps::CP(c.from, c.data.data(), static_cast<unsigned>(c.data.size()), c.to));
    }
}

TEST_F(CpTest, FailuresGiveNulsAndAreLogged)
{
    EXPECT_EQ(std::string(6, '\0'), ps::CP("NO-SUCH-SET", "abc", 3, "UTF-8"));
    EXPECT_NE(std::string::npos, logText().find("Cannot open converter from NO-SUCH-SET to UTF-8\n"));

    // Bytes converted before an invalid sequence are kept.
    EXPECT_EQ(std::string("ab\0\0\0\0", 6), ps::CP("UTF-8", "ab\xff", 3, "CP866"));
    EXPECT_NE(std::string::npos, logText().find("errno == EILSEQ\n"));

    EXPECT_EQ(std::string("a\0\0\0", 4), ps::CP("UTF-8", "a\xd0", 2, "CP866"));
    EXPECT_NE(std::string::npos, logText().find("errno == EINVAL\n"));
}

TEST_F(CpTest, CodepageReportsFullOutput)
{
    char out[4] = {};
    EXPECT_EQ(0u, ps::codepage("CP866", "\xa8\xa8\xa8", 3, "UTF-8", out, sizeof out));
    EXPECT_EQ(std::string("\xd0\xb8\xd0\xb8", 4), std::string(out, 4));
    EXPECT_NE(std::string::npos, logText().find("errno == E2BIG\n"));
}

using ProcessTest = LoggedTest;

// Runs spawn with its child's standard error captured.
std::string spawnCapturingStderr(const char* commandLine, int& status)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    const int pid = ps::spawn(commandLine);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fds[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_GT(pid, 0);
    waitpid(pid, &status, 0);
    return text;
}

TEST_F(ProcessTest, SpawnMissingProgramReportsInChild)
{
    for (const char* command : {"/nonexistent/program -x", "sh -c true"}) {
        SCOPED_TRACE(command);
        int status = -1;
        EXPECT_EQ("an error occurred in execv\n", spawnCapturingStderr(command, status));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
}

TEST_F(ProcessTest, SpawnPassesArguments)
{
    const struct {
        const char* command;
        int status;
    } cases[] = {{"/usr/bin/test 3  -eq 3", 0}, {"/usr/bin/test 3 -eq 4", 1}};
    for (const auto& c : cases) {
        int status = -1;
        EXPECT_EQ("", spawnCapturingStderr(c.command, status));
        ASSERT_TRUE(WIFEXITED(status)) << c.command;
        EXPECT_EQ(c.status, WEXITSTATUS(status)) << c.command;
    }
}

// The daemon ignores SIGXFSZ for its own writes; a program it starts must not
// inherit that, or its writes past a limit would go on failing unnoticed.
TEST_F(ProcessTest, SpawnedProgramGetsSigxfszAtItsDefault)
{
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    const int pid = ps::spawn("/bin/sleep 30");
    sigaction(SIGXFSZ, &old, nullptr);
    ASSERT_GT(pid, 0);
    const std::string proc = "/proc/" + std::to_string(pid);
    // Before exec the child is still a copy of this process.
    for (int i = 0; i < 500 && fileText(proc + "/cmdline").compare(0, 11, std::string("/bin/sleep\0", 11)) != 0; ++i)
        usleep(10000);
    const std::string status = fileText(proc + "/status");
    const size_t at = status.find("SigIgn:\t");
    ASSERT_NE(std::string::npos, at) << status;
    const unsigned long long ignored = strtoull(status.c_str() + at + 8, nullptr, 16);
    EXPECT_EQ(0u, ignored & (1ULL << (SIGXFSZ - 1)));
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST_F(ProcessTest, KillTerminatesChildAndLogs)
{
    const int pid = ps::spawn("/bin/sleep 30");
    ASSERT_GT(pid, 0);
    ps::kill(pid);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_NE(std::string::npos, logText().find(" : KILL " + std::to_string(pid) + "\n"));
}

TEST_F(ProcessTest, KillOfNonPositivePidSignalsNoGroup)
{
    // In a process group of its own, so that a wrong signal hits nobody else.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setpgid(0, 0);
        ps::kill(0);
        _exit(7);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
}

TEST_F(ProcessTest, ExecuteCollectsOutput)
{
    const struct {
        const char* command;
        std::string expected;
    } cases[] = {
        {"printf 'one\\ntwo\\n'", "one\ntwo\n"},
        {"true", ""},
        {"exit 3", ""},
        {"printf 'a\\0b\\nc\\n'", "ac\n"},  // each line is cut at its NUL
        {"head -c 3000 /dev/zero | tr '\\0' x", std::string(3000, 'x')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, ps::execute(c.command)) << c.command;
    EXPECT_NE(std::string::npos, logText().find(" : printf 'one\\ntwo\\n'\n"));
}

extern "C" void onAlarm(int) {}

TEST_F(ProcessTest, ExecuteSurvivesInterruptedRead)
{
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = onAlarm;  // no SA_RESTART: the read fails with EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
    struct itimerval timer = {};
    timer.it_value.tv_usec = 100000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    const std::string out = ps::execute("sleep 0.5; echo late");
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ("late\n", out);
}

TEST(Passthrough, CodePageNamesReturnTheirArgument)
{
    const std::string text("a\xd0\x9f\0z", 5);
    EXPECT_EQ(text, ps::ansiToUtf(text));
    EXPECT_EQ(text, ps::asciiToUtf(text));
    EXPECT_EQ(text, ps::ansiToAscii(text));
    EXPECT_EQ(text, ps::asciiToAnsi(text));
    EXPECT_EQ(text, ps::utfToAnsi(text));
    EXPECT_EQ(text, ps::utfToAscii(text));
}

}  // namespace
