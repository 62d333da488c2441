#include "param.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

// getopt_long may reorder argv, so each run gets its own writable copy.
class CommandLine {
public:
    explicit CommandLine(const std::vector<std::string>& args) : storage{"dorvish"} {
        storage.insert(storage.end(), args.begin(), args.end());
        for (std::string& arg : storage) {
            pointers.push_back(&arg[0]);
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char* const* argv() { return pointers.data(); }

private:
    std::vector<std::string> storage;
    std::vector<char*> pointers;
};

class ParamTest : public ::testing::Test {
protected:
    void SetUp() override { param::free(); }
    void TearDown() override { param::free(); }

    static void parse(const std::vector<std::string>& args) {
        CommandLine line(args);
        param::getInstance()->paramInit(line.argc(), line.argv());
    }
};

const char kUsage[] =
    "version: 0.481\n"
    "Usage: dorvish -c CONFIGFILE\n"
    "-h\t--help\t\tDisplay this usage information\n"
    "-c\t--config\t(example) /etc/dorvish.cfg\n";

TEST_F(ParamTest, HelpText) {
    testing::internal::CaptureStdout();
    param::getInstance()->printHelp();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
}

struct Started {
    std::vector<std::string> args;
    std::string config;
};

TEST_F(ParamTest, ConfigurationFileIsRecorded) {
    const std::string longName(100000, 'f');
    const std::vector<Started> cases = {
        {{"-c", "a.cfg"}, "a.cfg"},
        {{"-ca.cfg"}, "a.cfg"},
        {{"--config", "a.cfg"}, "a.cfg"},
        {{"--config=a.cfg"}, "a.cfg"},
        {{"--conf", "a.cfg"}, "a.cfg"},
        {{"-c", "first.cfg", "--config", "second.cfg"}, "first.cfg"},
        {{"loose", "-c", "a.cfg", "more"}, "a.cfg"},
        // What follows -c is its argument, even when it looks like an option.
        {{"-c", "-h"}, "-h"},
        {{"-c", "a.cfg", "--", "-h"}, "a.cfg"},
        {{"-c", longName}, longName},
    };
    for (const Started& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1].substr(0, 20) : ""));
        param::free();
        parse(c.args);
        EXPECT_EQ(param::getInstance()->getParam('c'), c.config);
        EXPECT_EQ(param::getInstance()->getParam('h'), "");
        EXPECT_EQ(param::getInstance()->getParam('x'), "");
    }
}

struct Unrecognised {
    std::vector<std::string> args;
    const char* message;
};

TEST_F(ParamTest, UnrecognisedOptionsAreReportedAndSkipped) {
    const std::vector<Unrecognised> cases = {
        {{"-x", "-c", "a.cfg"}, "invalid option"},
        {{"--bogus", "-c", "a.cfg"}, "unrecognized option"},
        {{"-c", "a.cfg", "--help=yes"}, "doesn't allow an argument"},
    };
    for (const Unrecognised& c : cases) {
        SCOPED_TRACE(c.args[0]);
        param::free();
        testing::internal::CaptureStderr();
        parse(c.args);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(c.message), std::string::npos);
        EXPECT_EQ(param::getInstance()->getParam('c'), "a.cfg");
    }
}

struct Stopped {
    std::vector<std::string> args;
    const char* stderrPattern;  // getopt's own complaint, if any
};

// Each of these prints the usage and ends the process with status 0. The
// child sends its standard output to standard error so both can be matched.
TEST_F(ParamTest, HelpOrMissingConfigurationEndsTheProcess) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const std::vector<Stopped> cases = {
        {{}, ""},
        {{"loose"}, ""},
        {{"-h"}, ""},
        {{"--help"}, ""},
        {{"--he"}, ""},
        {{"-c", "a.cfg", "-h"}, ""},
        {{"-x"}, "invalid option"},
        {{"-c"}, "requires an argument"},
        {{"--config"}, "requires an argument"},
    };
    for (const Stopped& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        const std::string pattern = std::string(c.stderrPattern) +
                                    ".*version: 0\\.481\nUsage: dorvish -c CONFIGFILE\n";
        EXPECT_EXIT(
            {
                dup2(2, 1);
                parse(c.args);
            },
            testing::ExitedWithCode(0), pattern);
    }
}

TEST_F(ParamTest, EmptyArgumentVectorEndsWithUsage) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    char* none[] = {nullptr};
    EXPECT_EXIT(
        {
            dup2(2, 1);
            param::getInstance()->paramInit(0, none);
        },
        testing::ExitedWithCode(0), "Usage: dorvish");
}

TEST_F(ParamTest, NothingBeforeParamInit) {
    EXPECT_EQ(param::getInstance()->getParam('c'), "");
}

TEST_F(ParamTest, SecondParamInitChangesNothing) {
    parse({"-c", "first.cfg"});
    parse({"-c", "second.cfg"});
    // Would end the process if it were parsed.
    parse({"-h"});
    EXPECT_EQ(param::getInstance()->getParam('c'), "first.cfg");
}

TEST_F(ParamTest, FreeStartsOver) {
    parse({"-c", "first.cfg"});
    param::free();
    EXPECT_EQ(param::gParamObj, nullptr);
    EXPECT_EQ(param::getInstance()->getParam('c'), "");
    parse({"--config=second.cfg"});
    EXPECT_EQ(param::getInstance()->getParam('c'), "second.cfg");
}

TEST_F(ParamTest, InstanceIsKeptUntilFreed) {
    param* first = param::getInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(param::getInstance(), first);
    EXPECT_EQ(param::gParamObj, first);
}

TEST_F(ParamTest, DestroyedObjectDoesNotStayRegistered) {
    {
        param local;
        EXPECT_EQ(param::gParamObj, &local);
    }
    EXPECT_EQ(param::gParamObj, nullptr);
    EXPECT_NE(param::getInstance(), nullptr);
}

}  // namespace
