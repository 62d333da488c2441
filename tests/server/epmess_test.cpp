#include <gtest/gtest.h>

#include <cstring>

#include "epmess.h"
#include "server/codec_helpers.h"

namespace {

class FieldStore : public ::testing::Test {
protected:
    LogCapture log;
    epmess codec;
};

TEST_F(FieldStore, AbsentFieldReadsAsEmptyText)
{
    const field f = codec.getField(0x9B);
    EXPECT_EQ(f.tag, 0);
    EXPECT_EQ(f.value, bytes{0});
    EXPECT_EQ(codec.getField(0x01, codec.requestFields).value, bytes{0});

    char buf[8] = "keep";
    EXPECT_EQ(codec.getField(0x9B, buf), 0);
    EXPECT_STREQ(buf, "keep");
}

TEST_F(FieldStore, CopiesStoredValueWithItsSize)
{
    codec.setField(0x98, textBytes(std::string("123456\0", 7)));
    char buf[256];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(codec.getField(0x98, buf), 7);
    EXPECT_STREQ(buf, "123456");
    EXPECT_EQ(codec.getField(0x98, nullptr, 0), 7);

    // A present field with an empty value copies nothing.
    codec.setField(0xA0, bytes());
    strcpy(buf, "keep");
    EXPECT_EQ(codec.getField(0xA0, buf), 0);
    EXPECT_STREQ(buf, "keep");
}

TEST_F(FieldStore, LongValueIsCutToTheCallersBuffer)
{
    struct Case {
        size_t text;      // characters before the NUL
        size_t expected;  // characters that reach the 256-byte buffer
    } cases[] = {{254, 254}, {255, 255}, {256, 255}, {300, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        bytes v(c.text, 'A');
        v.push_back(0);
        codec.setField(0xC1, v);
        char area[300];
        memset(area, 'Z', sizeof area);
        EXPECT_EQ(codec.getField(0xC1, area, 256), static_cast<int>(c.text + 1));
        EXPECT_EQ(strlen(area), c.expected);
        for (size_t i = 256; i < sizeof area; ++i)
            ASSERT_EQ(area[i], 'Z') << "written past the buffer at " << i;
    }

    // A value without its own NUL still comes back as a text.
    codec.setField(0xC1, textBytes("ABC"));
    char small[4];
    memset(small, 'Z', sizeof small);
    EXPECT_EQ(codec.getField(0xC1, small), 3);
    EXPECT_STREQ(small, "ABC");
    char tiny[2];
    EXPECT_EQ(codec.getField(0xC1, tiny), 3);
    EXPECT_STREQ(tiny, "A");
}

TEST_F(FieldStore, SetFieldInsertsOrReplaces)
{
    codec.setField(0xA0, textBytes("one"));
    codec.setField(0xA0, textBytes("two"));
    EXPECT_EQ(codec.responseFields.size(), 1u);
    EXPECT_EQ(codec.getField(0xA0).tag, 0xA0);
    EXPECT_EQ(codec.getField(0xA0).value, textBytes("two"));

    // A stored field under a shifted key keeps its own tag; setField takes the low 16 bits.
    codec.responseFields[0x9F2600] = field(0x9F26, textBytes("x"));
    EXPECT_EQ(codec.getField(0x9F2600).tag, 0x9F26);
    codec.setField(0x12345, textBytes("y"), codec.requestFields);
    EXPECT_EQ(codec.getField(0x12345, codec.requestFields).tag, 0x2345);
}

TEST_F(FieldStore, ClBufferEmptiesBothMapsOnly)
{
    codec.addMessageId(PUR);
    codec.setField(0xEF, textBytes("00"));
    codec.inContainer = true;
    codec.clBuffer();
    EXPECT_TRUE(codec.requestFields.empty());
    EXPECT_TRUE(codec.responseFields.empty());
    EXPECT_TRUE(codec.inContainer);
}

TEST_F(FieldStore, MessageKindTexts)
{
    const char* expected[14] = {"PUR", "VOI", "REF", "STL", "AUT", "CMP", "PNG",
                                "FUN", "IND", "JRN", "VER", "PIN", "VER", "NUL"};
    for (int k = 0; k < 14; ++k) {
        char dst[4] = {'x', 'x', 'x', 'x'};
        EXPECT_STREQ(codec.getMessText(static_cast<typemess>(k), dst), expected[k]);
        EXPECT_EQ(memcmp(dst, expected[k], 4), 0) << k;
    }
    EXPECT_STREQ(codec.getMessText(static_cast<typemess>(14)), "");
}

TEST_F(FieldStore, NumericBuildersFormatSignedZeroPadded)
{
    struct Case {
        const char* what;
        void (*build)(epmess&);
        unsigned tag;
        const char* value;
    } cases[] = {
        {"ecr 7", [](epmess& c) { c.addECRnumber(7); }, 0x02, "07"},
        {"ecr 123 is cut", [](epmess& c) { c.addECRnumber(123); }, 0x02, "12"},
        {"trace 0", [](epmess& c) { c.addTraceNumber(0); }, 0x03, "0000000000"},
        {"trace 123", [](epmess& c) { c.addTraceNumber(123); }, 0x03, "0000000123"},
        {"trace -5", [](epmess& c) { c.addTraceNumber(static_cast<unsigned>(-5)); }, 0x03, "-000000005"},
        {"trace int min", [](epmess& c) { c.addTraceNumber(0x80000000u); }, 0x03, "-214748364"},
        {"amount 100", [](epmess& c) { c.addTransactionAmount(100); }, 0x04, "000000000100"},
        {"amount 2^32-1", [](epmess& c) { c.addTransactionAmount(4294967295u); }, 0x04, "-00000000001"},
        {"general", [](epmess& c) { c.addField(0x30, 2, 123); }, 0x30, "12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        codec.clBuffer();
        c.build(codec);
        const field f = codec.getField(c.tag, codec.requestFields);
        EXPECT_EQ(f.tag, c.tag);
        EXPECT_EQ(f.value, textBytes(c.value));
    }
}

TEST_F(FieldStore, TextBuildersStoreBytesWithoutNul)
{
    std::string currency = "643", invoice = "INV-1", card = std::string("\x01\x00\xff", 3);
    codec.addMessageId(VER2);
    codec.addChainedFlag();
    codec.addFuncGetDiag();
    codec.addFuncUpdateKey(); // same tag: the first stays
    codec.addCurrency(currency);
    codec.addInvoice(invoice);
    codec.addCardDataEnc(card);
    codec.addMessageId(PUR);

    struct Case {
        unsigned tag;
        bytes value;
    } cases[] = {
        {0x01, textBytes("VER")},        {0x08, hexBytes("01 00 00")},
        {0x0D, textBytes("37")},         {0x1B, textBytes("643")},
        {0x8B, textBytes("INV-1")},      {0xC0, hexBytes("01 00 FF")},
    };
    EXPECT_EQ(codec.requestFields.size(), 6u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(codec.getField(c.tag, codec.requestFields).value, c.value);
    }
}

TEST(CodecSettings, ReadFromConfiguration)
{
    struct Case {
        const char* lines;
        bool successLog;
        int logLevel, head, tail;
    } cases[] = {
        {"", false, 0, 4, 4},
        {"success_log 1\n", true, 0, 4, 4},
        {"success_log 01\n", true, 0, 4, 4},
        {"success_log 2\n", false, 0, 4, 4},
        {"loglevel 300\n", false, 44, 4, 4},
        {"loglevel 4\nmask 6X4\n", false, 4, 6, 4},
        {"mask 8\n", false, 0, 8, 4},
        {"mask 6X0\n", false, 0, 6, 4},
        {"mask 0X2\n", false, 0, 0, 2},
        {"mask 6x2\n", false, 0, 6, 4}, // only an upper-case X separates
        // Numbers beyond 32 bits saturate as the core reads them, in every build.
        {"loglevel 4294967300\n", false, 255, 4, 4},
        {"loglevel -4294967300\n", false, 0, 4, 4},
        {"success_log 4294967297\n", false, 0, 4, 4},
        {"mask 4294967302X4294967297\n", false, 0, 255, 255},
        {"mask -4294967302X-4294967297\n", false, 0, 0, 4},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        ScopedConfig cfg(std::string("[dorvish]\n") + c.lines);
        epmess codec;
        EXPECT_EQ(codec.successLog, c.successLog);
        EXPECT_EQ(codec.logLevel, c.logLevel);
        EXPECT_EQ(codec.maskHead, c.head);
        EXPECT_EQ(codec.maskTail, c.tail);
        EXPECT_FALSE(codec.inContainer);
    }
}

}  // namespace
