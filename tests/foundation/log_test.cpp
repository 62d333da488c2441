#include "log.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/sparse_file.h"

namespace {

std::string today()
{
    const time_t now = time(nullptr);
    char text[20];
    strftime(text, sizeof text, "%Y%m%d", localtime(&now));
    return text;
}

std::string readFile(const std::string& name)
{
    std::ifstream in(name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

// Each test logs into a fresh directory, which is also the working directory, so
// that relative names and the fallback file land there too.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/log_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
        ASSERT_NE(nullptr, getcwd(oldCwd_, sizeof oldCwd_));
        ASSERT_EQ(0, chdir(dir_.c_str()));
        setpath("");
    }
    void TearDown() override
    {
        setpath("");
        ASSERT_EQ(0, chdir(oldCwd_));
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(0, system(command.c_str()));
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    char oldCwd_[4096];
};

std::string hourNow()
{
    const time_t now = time(nullptr);
    char hour[3];
    strftime(hour, sizeof hour, "%H", localtime(&now));
    return hour;
}

TEST_F(LogTest, LineGoesToDatedFileWithTimePrefix)
{
    setpath(path("dorvish_%s.log").c_str());
    const std::string before = today();
    const std::string hourBefore = hourNow();
    logsave("answer %d", 5);
    const std::string after = today();
    const std::string hourAfter = hourNow();
    std::string text = readFile(path("dorvish_" + after + ".log"));
    if (text.empty() && before != after)  // written just across midnight
        text = readFile(path("dorvish_" + before + ".log"));
    EXPECT_TRUE(boost::regex_match(text, boost::regex("\\d\\d:\\d\\d:\\d\\d : answer 5\n"))) << text;
    const std::string hour = text.substr(0, 2);
    EXPECT_TRUE(hour == hourBefore || hour == hourAfter) << "24-hour local time expected";
}

TEST_F(LogTest, FixedNameCollectsAllLines)
{
    setpath(path("fixed.log").c_str());
    logsave("one");
    logsave("two %s", "three");
    const std::string text = readFile(path("fixed.log"));
    EXPECT_TRUE(boost::regex_match(text, boost::regex("\\d\\d:\\d\\d:\\d\\d : one\n"
                                                       "\\d\\d:\\d\\d:\\d\\d : two three\n")))
        << text;
}

// A fixed name collects every line for ever, so the file may well outgrow what a
// 32-bit offset reaches; its lines must go on landing at its end.
TEST_F(LogTest, LineLandsAtTheEndOfAFileOverTwoGiB)
{
    std::string why;
    if (!makeSparse(path("big.log"), kPastTwoGiB, why))
        GTEST_SKIP() << why;
    setpath(path("big.log").c_str());
    logsave("past %d GiB", 2);
    logsave("and on");
    const std::string tail = readFrom(path("big.log"), kPastTwoGiB);
    EXPECT_TRUE(boost::regex_match(tail, boost::regex("\\d\\d:\\d\\d:\\d\\d : past 2 GiB\n"
                                                       "\\d\\d:\\d\\d:\\d\\d : and on\n")))
        << "'" << tail << "'";
    EXPECT_EQ(kPastTwoGiB + static_cast<off_t>(tail.size()), fileSize(path("big.log")));
}

TEST_F(LogTest, EmptyPatternUsesFileLogInWorkingDirectory)
{
    logsave("first");
    EXPECT_STREQ("file.log", __gLogPath);
    setpath("");
    logsave("second");
    const std::string text = readFile(path("file.log"));
    EXPECT_NE(std::string::npos, text.find(" : first\n"));
    EXPECT_NE(std::string::npos, text.find(" : second\n"));
}

TEST_F(LogTest, PercentPercentIsAPercentSign)
{
    setpath(path("100%%-%s.log").c_str());
    logsave("x");
    EXPECT_TRUE(exists(path("100%-" + today() + ".log")));
}

TEST_F(LogTest, PatternIsNeverUsedAsFormat)
{
    // Conversions other than %s and %% send the line to the fallback file.
    for (const char* pattern : {"bad%d.log", "bad%n%s.log", "bad%.log", "bad%", "%s%x%s"}) {
        SCOPED_TRACE(pattern);
        setpath(pattern);
        logsave("line");
        EXPECT_NE(std::string::npos, readFile(path("file.log")).find(" : line\n"));
        std::remove(path("file.log").c_str());
    }
}

TEST_F(LogTest, OverlongNames)
{
    // A pattern beyond 255 characters is cut.
    const std::string longPattern = std::string(300, 'p') + "%s";
    setpath(longPattern.c_str());
    EXPECT_EQ(longPattern.substr(0, 255), std::string(__gLogPath));
    logsave("cut");
    EXPECT_NE(std::string::npos, readFile(path(std::string(255, 'p'))).find(" : cut\n"));

    // A pattern that fits but expands beyond 255 characters uses the fallback file.
    setpath((std::string(248, 'q') + "%s").c_str());
    logsave("expanded");
    EXPECT_NE(std::string::npos, readFile(path("file.log")).find(" : expanded\n"));
}

TEST_F(LogTest, MissingDirectoryLosesLineQuietly)
{
    setpath(path("missing/%s.log").c_str());
    logsave("nowhere");
    EXPECT_FALSE(exists(path("missing")));
    EXPECT_FALSE(exists(path("file.log")));
}

TEST_F(LogTest, OutsideTextInArgumentsAppearsVerbatim)
{
    setpath(path("x.log").c_str());
    logsave("%s", "100% %s %n %d");
    EXPECT_NE(std::string::npos, readFile(path("x.log")).find(" : 100% %s %n %d\n"));
}

TEST_F(LogTest, RawWriteHasNoPrefixOrNewline)
{
    setpath(path("raw.log").c_str());
    _logsave("a%d", 1);
    _logsave("b");
    EXPECT_EQ("a1b", readFile(path("raw.log")));
}

TEST_F(LogTest, ExitLogsMessageThenExit)
{
    setpath(path("exit.log").c_str());
    EXPECT_EXIT(logexit("fatal %d", 2), ::testing::ExitedWithCode(1), "");
    EXPECT_TRUE(boost::regex_match(readFile(path("exit.log")),
                                   boost::regex("\\d\\d:\\d\\d:\\d\\d : fatal 2\n"
                                                "\\d\\d:\\d\\d:\\d\\d : Exit\n")));
}

}  // namespace
