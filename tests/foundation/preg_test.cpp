#include "preg.h"

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using reg::group;
using Groups = std::vector<group>;

struct MatchCase {
    const char* name;
    std::string pattern;
    std::string subject;
    unsigned offset;
    int result;
    Groups groups;
};

TEST(PregMatch, CoreFormGroupsAndPositions)
{
    const MatchCase cases[] = {
        {"unmatched group is empty at subject end", "b(x)?", "abc", 0, 1, {{"b", 1}, {"", 3}}},
        {"position counts from subject start", "a", "aXa", 1, 1, {{"a", 2}}},
        {"groups in order of their parentheses", "(([0-9])[a-z])", "-7q", 0, 1,
         {{"7q", 1}, {"7q", 1}, {"7", 1}}},
        {"offset at end searches empty text", "a", "aXa", 3, 0, {}},
        {"offset past end", "a", "aXa", 4, 0, {}},
        {"empty pattern at end offset", "", "ab", 2, 1, {{"", 2}}},
        {"dot matches newline", "a.b", "xa\nb", 0, 1, {{"a\nb", 1}}},
        {"caret after newline", "^b", "a\nb", 0, 1, {{"b", 2}}},
        {"caret after carriage return", "^b", "a\rb", 0, 1, {{"b", 2}}},
        {"caret at the offset", "^X", "aXa", 1, 1, {{"X", 1}}},
        {"nothing before the offset takes part", "aX", "aXa", 1, 0, {}},
        {"dollar before carriage return", "a$", "a\r\nb", 0, 1, {{"a", 0}}},
        {"dollar not between CR and LF", "\\r$", "a\r\nb", 0, 0, {}},
        {"word class is ASCII", "\\w+", "\xd0\x9f" "ab_9-", 0, 1, {{"ab_9", 2}}},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        Groups out;
        EXPECT_EQ(c.result, reg::preg_match(c.pattern, c.subject, out, c.offset));
        EXPECT_EQ(c.groups, out);
    }
}

TEST(PregMatch, OutputIsOnlyAppendedTo)
{
    Groups out{{"old", 7}};
    EXPECT_EQ(1, reg::preg_match("[0-9]", "a1", out));
    EXPECT_EQ(0, reg::preg_match("z", "a1", out));
    EXPECT_EQ(1, reg::preg_match("a", "a1", out));
    EXPECT_EQ((Groups{{"old", 7}, {"1", 1}, {"a", 0}}), out);
}

TEST(PregMatch, StringFormsAppendTextsOnly)
{
    std::vector<std::string> out{"keep"};
    EXPECT_EQ(1, reg::preg_match("([0-9]+)([a-z]+)", "x1y", out));
    EXPECT_EQ((std::vector<std::string>{"keep", "1y", "1", "y"}), out);

    out.clear();
    EXPECT_EQ(1, reg::preg_match("([0-9])(z)?", "1a2", out, 1));
    EXPECT_EQ((std::vector<std::string>{"2", "2", ""}), out);

    out.clear();
    EXPECT_EQ(0, reg::preg_match("q", "1a2", out));
    EXPECT_TRUE(out.empty());
}

TEST(PregMatch, TwoArgumentFormTellsWhetherPatternOccurs)
{
    EXPECT_EQ(1, reg::preg_match("^0200000000$", "0200000000"));
    EXPECT_EQ(0, reg::preg_match("^0200000000$", "0200200000"));
    EXPECT_EQ(1, reg::preg_match("", ""));
}

TEST(PregMatchAll, SuccessiveMatches)
{
    std::vector<Groups> out;
    EXPECT_EQ(3, reg::preg_match_all("([0-9])", "a1b22", out));
    EXPECT_EQ((std::vector<Groups>{{{"1", 1}, {"1", 1}}, {{"2", 3}, {"2", 3}}, {{"2", 4}, {"2", 4}}}),
              out);
}

TEST(PregMatchAll, CaretMatchesAgainAtEveryContinuation)
{
    std::vector<Groups> out;
    EXPECT_EQ(3, reg::preg_match_all("^a", "aaa", out));
    EXPECT_EQ((std::vector<Groups>{{{"a", 0}}, {{"a", 1}}, {{"a", 2}}}), out);
}

TEST(PregMatchAll, NoMatchLeavesOutputAlone)
{
    std::vector<Groups> out{{{"x", 9}}};
    EXPECT_EQ(0, reg::preg_match_all("z", "aaa", out));
    EXPECT_EQ((std::vector<Groups>{{{"x", 9}}}), out);
}

TEST(PregMatchAll, EmptyMatchAdvancesOneByte)
{
    std::vector<Groups> out;
    EXPECT_EQ(3, reg::preg_match_all("a*", "baa", out));
    EXPECT_EQ((std::vector<Groups>{{{"", 0}}, {{"aa", 1}}, {{"", 3}}}), out);

    out.clear();
    EXPECT_EQ(1, reg::preg_match_all("x*", "", out));
    EXPECT_EQ((std::vector<Groups>{{{"", 0}}}), out);
}

TEST(PregMatchAll, LineSplitterDropsBlankLinesAndUnterminatedLast)
{
    std::vector<Groups> out;
    EXPECT_EQ(2, reg::preg_match_all("([^\n]*)([\n]+)", "one\n\n\ntwo\nlost", out));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ((group{"one", 0}), out[0][1]);
    EXPECT_EQ((group{"\n\n\n", 3}), out[0][2]);
    EXPECT_EQ((group{"two", 6}), out[1][1]);
}

TEST(PregReplace, ReplacesEveryMatch)
{
    struct Case {
        std::string pattern, subject, format, expected;
        int result;
    } const cases[] = {
        {"[0-9]", "a1b22c", "#", "a#b##c", 1},
        {"([0-9])", "a1b2", "<$1>", "a<1>b<2>", 1},
        {"([0-9])", "a1b2", "(?1[\\1])", "a[1]b[2]", 1},
        {"[0-9]", "abc", "#", "abc", 1},
        {"[0-9]", "", "#", "", 0},
        {"[0-9]", "12", "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern + " / " + c.subject + " / " + c.format);
        std::string out = "previous";
        EXPECT_EQ(c.result, reg::preg_replace(c.pattern, c.subject, c.format, out));
        EXPECT_EQ(c.expected, out);
    }
}

TEST(Preg, MalformedPatternThrowsFromEveryFunction)
{
    Groups groups;
    std::vector<std::string> texts;
    std::vector<Groups> all;
    std::string out;
    EXPECT_THROW(reg::preg_match("(", "abc", groups, 0), boost::regex_error);
    EXPECT_THROW(reg::preg_match("(", "abc", groups, 99), boost::regex_error);
    EXPECT_THROW(reg::preg_match("(", "abc", groups), boost::regex_error);
    EXPECT_THROW(reg::preg_match("(", "abc", texts, 99), boost::regex_error);
    EXPECT_THROW(reg::preg_match("(", "abc", texts), boost::regex_error);
    EXPECT_THROW(reg::preg_match("(", "abc"), boost::regex_error);
    EXPECT_THROW(reg::preg_match_all("(", "abc", all), boost::regex_error);
    EXPECT_THROW(reg::preg_replace("(", "abc", "x", out), boost::regex_error);
    EXPECT_TRUE(groups.empty());
    EXPECT_TRUE(texts.empty());
    EXPECT_TRUE(all.empty());
}

}  // namespace
