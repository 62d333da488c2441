#include "config.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Every test starts from a fresh, unloaded instance and writes its own files.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        config::free();
        char dir[] = "/tmp/config_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
    }
    void TearDown() override
    {
        config::free();
        for (const std::string& name : files_)
            std::remove(name.c_str());
        rmdir(dir_.c_str());
    }
    std::string write(const std::string& content)
    {
        const std::string name = dir_ + "/" + std::to_string(files_.size()) + ".cfg";
        std::ofstream(name, std::ios::binary) << content;
        files_.push_back(name);
        return name;
    }
    config* load(const std::string& content)
    {
        config* c = config::getInstance();
        EXPECT_EQ(1, c->confInit(write(content)));
        return c;
    }

    std::string dir_;
    std::vector<std::string> files_;
};

struct KeyCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    const char* value;
};

TEST_F(ConfigTest, FileFormat)
{
    const std::string pad(4096 - 10 - 1 - 4, '#');  // makes "a 1\n" end at byte 4096
    const KeyCase cases[] = {
        {"first key wins", "[dorvish]\nxmlport 3232\nxmlport 4000\n", "dorvish", "xmlport", "3232"},
        {"comment and blanks cut from value", "[dorvish]\nlog  /var/log/d_%s.log   # daily\n",
         "dorvish", "log", "/var/log/d_%s.log"},
        {"hash inside a value starts a comment", "[dorvish]\nkey a#b\n", "dorvish", "key", "a"},
        {"last line without newline is lost", "[dorvish]\nport 1\nutf 1", "dorvish", "utf", ""},
        {"line before the lost one is read", "[dorvish]\nport 1\nutf 1", "dorvish", "port", "1"},
        {"own section of a later header", "[other]\nutf 1\n[dorvish]\nutf 0\n", "dorvish", "utf", "0"},
        {"earlier section ends at next header", "[other]\nutf 1\n[dorvish]\nutf 0\n", "other", "utf",
         "1"},
        {"section mention in a comment wins", "# see [dorvish]\n[dorvish]\nutf 1\n", "dorvish", "utf",
         ""},
        {"bracket in a value ends the body", "[dorvish]\npath /a/b[0]\nutf 1\n[x]\n", "dorvish", "path",
         ""},
        {"keys behind that bracket are lost", "[dorvish]\npath /a/b[0]\nutf 1\n[x]\n", "dorvish", "utf",
         ""},
        {"rest of the header line is a line", "[dorvish] utf 1\n", "dorvish", "utf", "1"},
        {"equals sign without blanks", "[dorvish]\nkey=value\n", "dorvish", "key", ""},
        {"equals sign between blanks", "[dorvish]\nkey = value\n", "dorvish", "key", "= value"},
        {"dotted name gives second word", "[dorvish]\n first.second value\n", "dorvish", "second",
         "value"},
        {"dotted name first word", "[dorvish]\n first.second value\n", "dorvish", "first", ""},
        {"minus before key", "[dorvish]\n-opt 5\n", "dorvish", "opt", "5"},
        {"tab separates", "[dorvish]\nkey\t\tv a l\t\n", "dorvish", "key", "v a l"},
        {"key alone", "[dorvish]\nkey\n", "dorvish", "key", ""},
        {"keys are case-sensitive", "[dorvish]\nPort 1\n", "dorvish", "port", ""},
        {"sections are case-sensitive", "[Dorvish]\nport 1\n", "dorvish", "port", ""},
        {"missing section", "[other]\nport 1\n", "dorvish", "port", ""},
        {"CR LF lines", "[dorvish]\r\nxmlport 3232\r\nlog /x/%s.log\r\n", "dorvish", "log", "/x/%s.log"},
        {"CR LF keys", "[dorvish]\r\nxmlport 3232\r\nlog /x/%s.log\r\n", "dorvish", "xmlport", "3232"},
        {"text ends at NUL", std::string("[dorvish]\nutf 1\n\0port 5\n", 24), "dorvish", "port", ""},
        {"text before NUL", std::string("[dorvish]\nutf 1\n\0port 5\n", 24), "dorvish", "utf", "1"},
        {"unclosed bracket: body ends before last break", "[dorvish]\nport 2\nutf 1\nx [y\n", "dorvish",
         "utf", ""},
        {"unclosed bracket: earlier lines kept", "[dorvish]\nport 2\nutf 1\nx [y\n", "dorvish", "port",
         "2"},
        {"unclosed bracket without break", "[dorvish] port 2 [y\n", "dorvish", "port", ""},
        {"key inside first 4096 bytes", "[dorvish]\n" + pad + "\na 1\nb 2\n", "dorvish", "a", "1"},
        {"key beyond 4096 bytes", "[dorvish]\n" + pad + "\na 1\nb 2\n", "dorvish", "b", ""},
        {"section beyond 4096 bytes", std::string(5000 - 17, '#') + "\n[dorvish]\nutf 1\n", "dorvish",
         "utf", ""},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        config::free();
        config* cfg = load(c.text);
        EXPECT_EQ(c.value, cfg->getParam(c.section, c.key));
    }
}

TEST_F(ConfigTest, SectionBodies)
{
    const struct {
        const char* name;
        std::string text;
        const char* section;
        std::string body;
    } cases[] = {
        {"up to the next header", "[other]\nutf 1\n[dorvish]\nutf 0\n", "other", "\nutf 1\n"},
        {"to the end", "[other]\nutf 1\n[dorvish]\nport_7 9000\nexec /bin/x\n", "dorvish",
         "\nport_7 9000\nexec /bin/x\n"},
        {"mention in a comment", "# see [dorvish]\n[dorvish]\nutf 1\n", "dorvish", "\n"},
        {"unclosed bracket, CR LF", "[dorvish]\r\na 1\r\nb [c\r\n", "dorvish", "\r\na 1"},
        {"absent", "[other]\n", "dorvish", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config::free();
        EXPECT_EQ(c.body, load(c.text)->getSection(c.section));
    }
}

TEST_F(ConfigTest, LoadsOnlyOnce)
{
    config* cfg = config::getInstance();
    ASSERT_NE(nullptr, cfg);
    EXPECT_EQ("", cfg->getParam("dorvish", "utf"));
    EXPECT_EQ("", cfg->getSection("dorvish"));
    EXPECT_EQ(0, cfg->confInit(dir_ + "/missing.cfg"));
    EXPECT_EQ(0, cfg->confInit(write("")));
    EXPECT_EQ("", cfg->getParam("dorvish", "utf"));

    EXPECT_EQ(1, cfg->confInit(write("[dorvish]\nutf 1\n")));
    EXPECT_EQ(1, cfg->confInit(write("[dorvish]\nutf 0\n")));
    EXPECT_EQ(1, cfg->confInit(dir_ + "/missing.cfg"));
    EXPECT_EQ("1", cfg->getParam("dorvish", "utf"));
}

TEST_F(ConfigTest, SingletonAndFree)
{
    config* cfg = config::getInstance();
    EXPECT_EQ(cfg, config::gConfigObj);
    EXPECT_EQ(cfg, config::getInstance());
    EXPECT_EQ("config.cfg", cfg->getPath());

    EXPECT_EQ(1, cfg->confInit(write("[dorvish]\nutf 1\n")));
    config::free();
    EXPECT_EQ(nullptr, config::gConfigObj);
    config* fresh = config::getInstance();
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ("", fresh->getParam("dorvish", "utf"));
    config::free();
    config::free();  // freeing nothing is harmless
}

TEST_F(ConfigTest, BadSectionNameThrows)
{
    config* cfg = load("[dorvish]\nutf 1\n");
    EXPECT_THROW(cfg->getSection("("), boost::regex_error);
    EXPECT_THROW(cfg->getParam("(", "utf"), boost::regex_error);
}

}  // namespace
