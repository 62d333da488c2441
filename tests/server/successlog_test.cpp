#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>

#include "epmess.h"
#include "foundation/sparse_file.h"
#include "server/codec_helpers.h"

namespace {

std::string todaysFile()
{
    char buf[64];
    time_t now = time(nullptr);
    strftime(buf, sizeof buf, "success_%Y%m%d.log", localtime(&now));
    return buf;
}

bytes answer(const std::string& kind, const std::string& code)
{
    return concat({tlv(0x81, kind), tlv(0x9D, "T0000001"), tlv(0x8D, "1231"), tlv(0x8E, "2359"),
                   tlv(0x84, "000000000100"), tlv(0x89, "4111111111111111"), tlv(0x80, "02"),
                   tlv(0x98, "123456789012"), tlv(0x83, "0000000042"), tlv(0x8C, "A1B2C3"),
                   tlv(0xC1, "IVANOV);I%s"), tlv(bytes{0x9F, 0x06}, textBytes("A0000000031010")),
                   tlv(bytes{0x9F, 0x26}, textBytes("0102030405060708")), tlv(0x9B, code)});
}

const std::string fullLine =
    "TERM(T0000001);DATE(1231);TIME(2359);AMOUNT(000000000100);PAN(4111XXXXXXXX1111);"
    "CARDID(VISA);RRN(123456789012);STRACE(0000000042);AUTH(A1B2C3);CARDHOLDER(IVANOV);I%s);"
    "AID(A0000000031010);TRANCERT(0102030405060708);\n";

class SuccessLog : public ::testing::Test {
protected:
    LogCapture log;
    TempDir dir;
    ScopedCwd cwd{dir.path()};
    epmess codec;

    void SetUp() override { codec.successLog = true; }

    void parse(const bytes& in)
    {
        codec.inContainer = false;
        codec.parsMessage(in);
    }
    std::string written() const { return readFile(dir.file(todaysFile())); }
};

TEST_F(SuccessLog, OneLinePerApprovedPurchase)
{
    parse(answer("PUR", "00"));
    EXPECT_EQ(written(), fullLine);
    parse(answer("PUR", "000"));
    EXPECT_EQ(written(), fullLine + fullLine);
}

TEST_F(SuccessLog, NothingForOtherAnswers)
{
    struct Case {
        const char* what;
        bool on;
        const char* kind;
        const char* code;
    } cases[] = {
        {"switched off", false, "PUR", "00"}, {"refund", true, "REF", "00"},
        {"authorisation", true, "AUT", "00"}, {"declined", true, "PUR", "05"},
        {"letters", true, "PUR", "B3"},       {"kind with more text", true, "PURX", "00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        codec.successLog = c.on;
        parse(answer(c.kind, c.code));
        EXPECT_FALSE(fileExists(dir.file(todaysFile())));
    }
}

TEST_F(SuccessLog, MissingFieldsGiveEmptyItems)
{
    parse(concat({tlv(0x81, "PUR"), tlv(0x9B, "0")}));
    EXPECT_EQ(written(), "TERM();DATE();TIME();AMOUNT();PAN();CARDID(UNKNOWN);RRN();STRACE();"
                         "AUTH();CARDHOLDER();AID();TRANCERT();\n");
}

TEST_F(SuccessLog, CardNumberItems)
{
    struct Case {
        int head, tail;
        const char* card;
        const char* items;
    } cases[] = {
        {4, 4, "5500XXXXXXXX0004", "PAN(5500XXXXXXXX0004);CARDID(MASTERCARD);"},
        {6, 4, "4111111111111111", "PAN(411111XXXXXX1111);CARDID(VISA);"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        unlink(dir.file(todaysFile()).c_str());
        codec.maskHead = static_cast<uint8_t>(c.head);
        codec.maskTail = static_cast<uint8_t>(c.tail);
        parse(concat({tlv(0x81, "PUR"), tlv(0x89, c.card), tlv(0x9B, "00")}));
        EXPECT_NE(written().find(c.items), std::string::npos) << written();
    }
}

TEST_F(SuccessLog, LongValuesAreCutToTheBuffer)
{
    parse(concat({tlv(0x81, "PUR"), tlv(0xC1, std::string(300, 'N')), tlv(0x9B, "00")}));
    EXPECT_NE(written().find("CARDHOLDER(" + std::string(255, 'N') + ");AID"), std::string::npos);
}

TEST_F(SuccessLog, FileThatCannotBeOpenedLosesTheLine)
{
    ASSERT_EQ(mkdir(dir.file(todaysFile()).c_str(), 0755), 0);
    codec.inContainer = false;
    EXPECT_EQ(codec.parsMessage(answer("PUR", "00")), 14);
    EXPECT_EQ(textOf(codec.getField(0xEF)), "00");
}

TEST_F(SuccessLog, LineLandsAtTheEndOfAFileOverTwoGiB)
{
    const std::string name = todaysFile();
    std::string why;
    if (!makeSparse(dir.file(name), kPastTwoGiB, why))
        GTEST_SKIP() << why;
    parse(answer("PUR", "00"));
    if (todaysFile() != name)
        GTEST_SKIP() << "written across midnight";
    EXPECT_EQ(readFrom(dir.file(name), kPastTwoGiB), fullLine);
    EXPECT_EQ(fileSize(dir.file(name)), kPastTwoGiB + static_cast<off_t>(fullLine.size()));
}

TEST(SuccessLogConfig, SwitchComesFromTheConfiguration)
{
    LogCapture log;
    TempDir dir;
    ScopedCwd cwd(dir.path());
    for (const char* value : {"0", "2"}) {
        ScopedConfig cfg(std::string("[dorvish]\nsuccess_log ") + value + "\n");
        epmess codec;
        codec.parsMessage(answer("PUR", "00"));
    }
    EXPECT_FALSE(fileExists(dir.file(todaysFile())));
    ScopedConfig cfg("[dorvish]\nsuccess_log 1\n");
    epmess codec;
    codec.parsMessage(answer("PUR", "00"));
    EXPECT_EQ(readFile(dir.file(todaysFile())), fullLine);
}

}  // namespace
