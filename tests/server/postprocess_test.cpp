#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "epmess.h"
#include "server/codec_helpers.h"

namespace {

const bytes pinText = hexBytes("8E 84 8E 81 90 85 8D 8E 20 91 20 8F 88 8D 00");
const bytes plainText = hexBytes("8E 84 8E 81 90 85 8D 8E 00");

std::string clock(const char* format)
{
    char buf[32];
    time_t now = time(nullptr);
    strftime(buf, sizeof buf, format, localtime(&now));
    return buf;
}

class PostProcess : public ::testing::Test {
protected:
    LogCapture log;
    epmess codec;

    void parse(const bytes& in)
    {
        codec.inContainer = false;
        codec.parsMessage(in);
    }
};

TEST(HasSymbolic, Table)
{
    struct Case {
        const char* text;
        bool symbolic;
    } cases[] = {{"", false}, {"0", false}, {"0123456789", false}, {"B3", true},
                 {" 0", true}, {"12a", true}, {"-1", true}, {nullptr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        EXPECT_EQ(hasSymbolic(c.text), c.symbolic);
    }
}

TEST_F(PostProcess, ResponseCodeDecidesApproval)
{
    struct Case {
        const char* code;
        const char* normalised;
        bool approved;
    } cases[] = {
        {"00", "00", true},   {"000", "000", true}, {"0", "0", true},
        {"0000", "0000", false}, {"05", "05", false}, {"B3", "912", false},
        {" 0", "912", false}, {"", "912", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        // An approved answer gets the approval text in place of the terminal's own.
        parse(concat({tlv(0x92, "051"), tlv(0xA0, "TEXT"), tlv(0x9B, c.code)}));
        EXPECT_EQ(textOf(codec.getField(0xEF)), c.normalised);
        EXPECT_EQ(textOf(codec.getField(0x9B)), c.code);
        EXPECT_EQ(codec.getField(0xA0).value, c.approved ? pinText : z("TEXT"));
    }
}

TEST_F(PostProcess, ApprovalTextFollowsThePinFlag)
{
    struct Case {
        const char* what;
        bytes pem; // empty: no field 0x92
        bytes text;
    } cases[] = {
        {"051", tlv(0x92, "051"), pinText},
        {"052", tlv(0x92, "052"), plainText},
        {"0510", tlv(0x92, "0510"), plainText},
        {"single 1", tlv(0x92, "1"), plainText},
        {"blank skipped", tlv(0x92, "00 1"), pinText},
        {"sign allowed", tlv(0x92, "00+1"), pinText},
        {"two characters", tlv(0x92, "05"), plainText},
        {"empty", tlv(0x92, ""), plainText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        parse(concat({tlv(0xA0, "TEXT"), c.pem, tlv(0x9B, "00")}));
        EXPECT_EQ(codec.getField(0xA0).value, c.text);
    }

    // Without 0x92 the terminal's text stays, or stays absent.
    parse(concat({tlv(0xA0, "TEXT"), tlv(0x9B, "00")}));
    EXPECT_EQ(textOf(codec.getField(0xA0)), "TEXT");
    parse(tlv(0x9B, "00"));
    EXPECT_EQ(codec.getField(0xA0).tag, 0);

    // Added when the terminal sent no text of its own.
    parse(concat({tlv(0x92, "001"), tlv(0x9B, "00")}));
    EXPECT_EQ(codec.getField(0xA0).value, pinText);
}

TEST_F(PostProcess, NotApprovedKeepsTheTerminalsText)
{
    parse(concat({tlv(0x92, "051"), tlv(0xA0, "DECLINED"), tlv(0x9B, "05")}));
    EXPECT_EQ(textOf(codec.getField(0xA0)), "DECLINED");
}

TEST_F(PostProcess, DateTimeOfTheOperation)
{
    // The terminal's date and time, with the server's year in front.
    parse(concat({tlv(0x8D, "1231"), tlv(0x8E, "2359"), tlv(0x9B, "00")}));
    const std::string year = clock("%y");
    EXPECT_EQ(textOf(codec.getField(0xEE)), year + "1231" + "2359" + "00");

    // Only one of the two: the server's clock.
    struct Case {
        const char* what;
        bytes in;
    } cases[] = {
        {"date only", tlv(0x8D, "1231")},
        {"time only", tlv(0x8E, "2359")},
        {"neither", tlv(0x9B, "00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = clock("%y%m%d");
        parse(c.in);
        const std::string stamp = textOf(codec.getField(0xEE));
        ASSERT_EQ(stamp.size(), 12u);
        EXPECT_FALSE(hasSymbolic(stamp.c_str()));
        EXPECT_TRUE(stamp.compare(0, 6, before) == 0 || stamp.compare(0, 6, clock("%y%m%d")) == 0);
    }

    // Inside a container they set the marks, but the plain tags are absent.
    parse(concat({hexBytes("E1 00"), tlv(0x8D, "1231"), tlv(0x8E, "2359")}));
    EXPECT_EQ(textOf(codec.getField(0xEE)), clock("%y") + "00");

    // The terminal's own 0xEE stays.
    parse(concat({tlv(0xEE, "X"), tlv(0x8D, "1231"), tlv(0x8E, "2359")}));
    EXPECT_EQ(textOf(codec.getField(0xEE)), "X");
}

TEST_F(PostProcess, CheckResponseTextChangesNothing)
{
    parse(concat({tlv(0x9B, "B5"), tlv(0xA0, "TERMINAL TEXT")}));
    const epmess::fieldmap before = codec.responseFields;
    codec.checkResponseText();
    ASSERT_EQ(codec.responseFields.size(), before.size());
    EXPECT_EQ(textOf(codec.getField(0xA0)), "TERMINAL TEXT");
}

TEST_F(PostProcess, CardType)
{
    struct Case {
        const char* card;
        const char* scheme;
    } cases[] = {
        {"4111111111111111", "VISA"}, {"5500000000000004", "MASTERCARD"},
        {"6011000000000004", "MAESTRO"}, {"371449635398431", "AMEX"},
        {"341111111111111", "AMEX"}, {"351111111111111", "UNKNOWN"},
        {"3", "UNKNOWN"}, {"2221000000000009", "UNKNOWN"}, {"", "UNKNOWN"},
        {"4111XXXXXXXX1111", "VISA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        char buf[256];
        memset(buf, 0, sizeof buf);
        strcpy(buf, c.card);
        codec.getCardType(buf);
        EXPECT_STREQ(buf, c.scheme);
    }
    // Bytes behind the name's NUL are left as they were.
    char buf[32] = "4111111111111111";
    codec.getCardType(buf);
    EXPECT_STREQ(buf + 5, "11111111111");
}

TEST_F(PostProcess, MaskCard)
{
    struct Case {
        int head, tail;
        const char* card;
        const char* masked;
    } cases[] = {
        {4, 4, "4111111111111111", "4111XXXXXXXX1111"},
        {4, 4, "123456789", "1234X6789"},
        {4, 4, "12345678", "12345678"},
        {4, 4, "4111XX1111111111", "4111XX1111111111"},
        {0, 4, "4111111111111234", "XXXXXXXXXXXX1234"},
        {8, 8, "4111111111111111", "4111111111111111"},
        {6, 4, "4111111111111111", "411111XXXXXX1111"},
        {4, 4, "", ""},
        {255, 255, "4111111111111111", "4111111111111111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        codec.maskHead = static_cast<uint8_t>(c.head);
        codec.maskTail = static_cast<uint8_t>(c.tail);
        EXPECT_EQ(codec.maskCard(c.card), c.masked);
    }
}

}  // namespace
