#include <gtest/gtest.h>

#include "epmess.h"
#include "server/codec_helpers.h"

namespace {

class Tlv : public ::testing::Test {
protected:
    LogCapture log;
    epmess codec;

    bool logged(const std::string& line) const
    {
        for (const std::string& l : log.lines())
            if (l == line)
                return true;
        return false;
    }
    size_t countLogged(const std::string& prefix) const
    {
        size_t n = 0;
        for (const std::string& l : log.lines())
            n += l.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
};

// ---- writer ----

TEST_F(Tlv, WritesRequestsInAscendingTagOrder)
{
    bytes out = hexBytes("FF FF");
    codec.addECRnumber(5);
    codec.addMessageId(PNG);
    codec.creatData(out);
    EXPECT_EQ(out, hexBytes("01 03 50 4E 47 02 02 30 35"));

    codec.clBuffer();
    codec.addTransactionAmount(100);
    codec.addTraceNumber(123456789);
    codec.addECRnumber(1);
    codec.addMessageId(PUR);
    codec.creatData(out);
    EXPECT_EQ(out, concat({hexBytes("01 03"), textBytes("PUR"), hexBytes("02 02"), textBytes("01"),
                           hexBytes("03 0A"), textBytes("0123456789"), hexBytes("04 0C"),
                           textBytes("000000000100")}));
    EXPECT_EQ(out.size(), 35u);
    EXPECT_TRUE(logged("<- (01)PUR(02)01(03)0123456789(04)000000000100"));
}

TEST_F(Tlv, WriterLengthForms)
{
    struct Case {
        size_t size;
        const char* length;
    } cases[] = {
        {0, "00"},         {127, "7F"},         {128, "81 80"},         {200, "81 C8"},
        {255, "81 FF"},    {256, "82 01 00"},   {300, "82 01 2C"},      {65535, "82 FF FF"},
        {65536, "83 01 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        codec.clBuffer();
        codec.addCardDataEnc(std::string(c.size, 'A'));
        bytes out;
        codec.creatData(out);
        EXPECT_EQ(out, concat({hexBytes("C0"), hexBytes(c.length), bytes(c.size, 'A')}));
    }
}

TEST_F(Tlv, WriterLogLine)
{
    codec.addCardDataEnc(std::string(128, 'A'));
    codec.addInvoice(std::string(127, 'B'));
    codec.addCurrency("5%s%n%d");
    bytes out;
    codec.creatData(out);
    // Values are logged as they are, never as a format.
    EXPECT_TRUE(logged("<- (1b)5%s%n%d(8b)" + std::string(127, 'B') + "(c0)128 bytes"));
}

TEST_F(Tlv, PingLinesOnlyAboveLogLevel3)
{
    struct Case {
        int level;
        bool written;
    } cases[] = {{0, false}, {3, false}, {4, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        log.clear();
        codec.logLevel = static_cast<uint8_t>(c.level);
        codec.clBuffer();
        codec.addMessageId(PNG);
        codec.addECRnumber(5);
        bytes out;
        codec.creatData(out);
        EXPECT_EQ(out, hexBytes("01 03 50 4E 47 02 02 30 35"));
        EXPECT_EQ(logged("<- (01)PNG(02)05"), c.written);

        codec.inContainer = false;
        codec.parsMessage(concat({tlv(0x81, "PNG"), tlv(0x9B, "00")}));
        EXPECT_EQ(logged("-> (81)PNG(9b)00"), c.written);
    }
}

// ---- reader ----

struct Expect {
    unsigned key;
    unsigned tag;
    bytes stored; // value as stored, with its NUL
};

TEST_F(Tlv, ReaderAcceptsAndStores)
{
    struct Case {
        const char* what;
        const char* in;
        int count;
        std::vector<Expect> fields;
    } cases[] = {
        {"response code approved", "9B 02 30 30", 1, {{0x9B, 0x9B, z("00")}, {0xEF, 0xEF, z("00")}}},
        {"letters give 912", "9B 02 42 33", 1, {{0x9B, 0x9B, z("B3")}, {0xEF, 0xEF, z("912")}}},
        {"empty code", "9B 00", 1, {{0x9B, 0x9B, z("")}, {0xEF, 0xEF, z("912")}}},
        {"first of two codes", "9B 02 30 35 9B 02 30 30", 2, {{0x9B, 0x9B, z("05")}, {0xEF, 0xEF, z("05")}}},
        {"no code", "50 01 41", 1, {{0x50, 0x50, z("A")}, {0xEF, 0xEF, z("912")}}},
        {"terminal 0xEF first", "EF 01 37 9B 02 30 35", 2, {{0xEF, 0xEF, z("7")}}},
        {"terminal 0xEF after", "9B 02 30 35 EF 01 37", 2, {{0xEF, 0xEF, z("05")}}},
        {"repeated tag keeps first", "50 01 41 50 01 42", 2, {{0x50, 0x50, z("A")}}},
        {"container", "E1 06 01 01 41 02 01 42", 2, {{0x100, 0x01, z("A")}, {0x200, 0x02, z("B")}}},
        {"long container", "E1 81 06 01 01 41 02 01 42", 2, {{0x100, 0x01, z("A")}, {0x200, 0x02, z("B")}}},
        {"container length ignored", "E1 84 FF FF FF FF 01 01 41", 1, {{0x100, 0x01, z("A")}}},
        {"code after container", "E1 03 01 01 41 9B 01 30", 2, {{0x9B00, 0x9B, z("0")}, {0xEF, 0xEF, z("0")}}},
        {"symbolic sub-field code", "E1 03 9B 01 41", 1, {{0x9B00, 0x9B, z("A")}, {0xEF, 0xEF, z("912")}}},
        {"two-byte tag", "9F 26 02 AA BB", 1, {{0x9F26, 0x9F26, hexBytes("AA BB 00")}}},
        {"second tag byte taken whole", "9F 80 01 41", 1, {{0x9F80, 0x9F80, z("A")}}},
        {"two-byte sub-field", "E1 00 9F 26 01 41", 1, {{0x9F2600, 0x9F26, z("A")}}},
        {"80 means length 0", "01 80 02 01 42", 2, {{0x01, 0x01, z("")}, {0x02, 0x02, z("B")}}},
        {"three length bytes", "01 83 00 00 01 41", 1, {{0x01, 0x01, z("A")}}},
        {"four length bytes", "01 84 00 00 00 01 41", 1, {{0x01, 0x01, z("A")}}},
        {"binary value", "C2 03 41 00 42", 1, {{0xC2, 0xC2, hexBytes("41 00 42 00")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        codec.inContainer = false;
        EXPECT_EQ(codec.parsMessage(hexBytes(c.in)), c.count);
        for (const Expect& e : c.fields) {
            SCOPED_TRACE(e.key);
            const field f = codec.getField(e.key);
            EXPECT_EQ(f.tag, e.tag);
            EXPECT_EQ(f.value, e.stored);
        }
        EXPECT_EQ(codec.getField(0xEE).tag, 0xEE);
    }
}

TEST_F(Tlv, ReaderRejectsTruncatedAndOversized)
{
    struct Case {
        const char* in;
        bool longForm;
    } cases[] = {
        {"9F", false},
        {"9F 26", false},
        {"01", false},
        {"E1", false},
        {"01 05 41", false},
        {"01 82 01", true},
        {"01 85 00 00 00 00 01 41", true},
        {"01 FF", true},
        {"01 84 FF FF FF FF", true},
        {"01 84 FF FF FF FF 41", true},
        {"01 84 00 01 00 00 41", true},
        {"E1 03 01 01", false},
        {"9B 02 30 30 01 05 41", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        log.clear();
        codec.inContainer = false;
        EXPECT_EQ(codec.parsMessage(hexBytes(c.in)), 0);
        // No post-processing and no traffic line for a rejected message.
        EXPECT_EQ(codec.getField(0xEE).tag, 0);
        EXPECT_EQ(countLogged("-> "), 0u);
        EXPECT_EQ(countLogged("INF: field length > 0x7f"), c.longForm ? 1u : 0u);
    }
    // Fields read before the fault stay.
    codec.parsMessage(hexBytes("9B 02 30 30 01 05 41"));
    EXPECT_EQ(textOf(codec.getField(0x9B)), "00");
}

TEST_F(Tlv, LongFormLogsItsOwnLine)
{
    EXPECT_EQ(codec.parsMessage(hexBytes("E1 81 06 01 01 41 02 01 42")), 2);
    EXPECT_EQ(countLogged("INF: field length > 0x7f"), 1u);
    EXPECT_TRUE(codec.inContainer);
    EXPECT_TRUE(logged("-> (01)A(02)B"));
}

TEST_F(Tlv, ContainerFlagFromTheCallerIsKept)
{
    codec.inContainer = true;
    EXPECT_EQ(codec.parsMessage(hexBytes("01 01 41")), 1);
    EXPECT_EQ(codec.getField(0x100).tag, 0x01);
    EXPECT_EQ(codec.getField(0x01).tag, 0);
}

TEST_F(Tlv, ParseReplacesTheLastAnswer)
{
    codec.parsMessage(hexBytes("50 01 41"));
    codec.parsMessage(hexBytes("9B 01 30"));
    EXPECT_EQ(codec.getField(0x50).tag, 0);
}

TEST_F(Tlv, ReaderLogLine)
{
    struct Case {
        const char* what;
        bytes in;
        std::string line;
    } cases[] = {
        {"tags and texts", concat({tlv(0x81, "PUR"), hexBytes("9F 26 01 41"), tlv(0x9B, "00")}),
         "-> (81)PUR(9f26)A(9b)00"},
        {"percent is verbatim", tlv(0xA0, "100%s%n%d"), "-> (a0)100%s%n%d"},
        {"126 bytes shown", tlv(0x9D, std::string(126, 'T')), "-> (9d)" + std::string(126, 'T')},
        {"127 bytes counted with NUL", tlv(0x9D, std::string(127, 'T')), "-> (9d)128 bytes"},
        {"sub-fields show their tag", hexBytes("E1 03 8D 01 31"), "-> (8d)1"},
        {"text ends at NUL", hexBytes("C2 03 41 00 42"), "-> (c2)A"},
        {"empty message", bytes(), "-> "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        codec.inContainer = false;
        codec.parsMessage(c.in);
        EXPECT_TRUE(logged(c.line));
    }
}

TEST_F(Tlv, EmptyMessageIsPostProcessedAndCountsZero)
{
    EXPECT_EQ(codec.parsMessage(bytes()), 0);
    EXPECT_EQ(textOf(codec.getField(0xEF)), "912");
    EXPECT_EQ(textOf(codec.getField(0xEE)).size(), 12u);
}

// The count is eight bits wide and stops at 255: a valid message is never
// reported as rejected, however many fields it holds.
TEST_F(Tlv, FieldCountSaturates)
{
    struct Case {
        size_t fields;
        int count;
    } cases[] = {{1, 1}, {255, 255}, {256, 255}, {257, 255}, {512, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        bytes in;
        for (size_t i = 0; i < c.fields; ++i)
            in = concat({in, hexBytes("50 01 41")});
        EXPECT_EQ(codec.parsMessage(in), c.count);
        EXPECT_EQ(codec.getField(0xEE).tag, 0xEE); // parsed in full every time
    }
}

TEST_F(Tlv, WriterOutputReadsBack)
{
    codec.addMessageId(PUR);
    codec.addTraceNumber(42);
    codec.addCardDataEnc(std::string(300, 'C'));
    bytes out;
    codec.creatData(out);
    EXPECT_EQ(codec.parsMessage(out), 3);
    EXPECT_EQ(textOf(codec.getField(0x03)), "0000000042");
    EXPECT_EQ(textOf(codec.getField(0xC0)), std::string(300, 'C'));
}

}  // namespace
