// The simulated PIN pad is the oracle of the server's terminal tests, so its own
// framing, TLV coding and scripted answers are checked here against known bytes.
#include <gtest/gtest.h>

#include "frame.h"
#include "script.h"
#include "terminal.h"
#include "tlv.h"

using namespace pinpad;

namespace {

std::string bytes(std::initializer_list<int> list)
{
    std::string out;
    for (int b : list)
        out.push_back(static_cast<char>(b));
    return out;
}

const std::string kPing = bytes({0x01, 0x03, 'P', 'N', 'G', 0x02, 0x02, '0', '5'});

// A purchase for register 1, nine-digit trace, one hundred units.
const std::string kPurchase = std::string("\x01\x03PUR\x02\x02" "01\x03\x0a" "0123456789\x04\x0c" "000000000100", 35);

Fields purchaseFields()
{
    return {{0x01, "PUR"}, {0x02, "01"}, {0x03, "0123456789"}, {0x04, "000000000100"}};
}

}  // namespace

TEST(PinpadTlv, EncodesTheLinkExamples)
{
    EXPECT_EQ(encodeTlv({{0x01, "PNG"}, {0x02, "05"}}), kPing);
    EXPECT_EQ(encodeTlv(purchaseFields()), kPurchase);
    EXPECT_EQ(encodeTlv({{0x9F26, "AB"}}), bytes({0x9F, 0x26, 0x02, 'A', 'B'}));
}

TEST(PinpadTlv, LengthUsesShortestForm)
{
    struct Case {
        uint32_t size;
        std::string expected;
    } cases[] = {
        {0, bytes({0x00})},
        {127, bytes({0x7F})},
        {128, bytes({0x81, 0x80})},
        {200, bytes({0x81, 0xC8})},
        {255, bytes({0x81, 0xFF})},
        {256, bytes({0x82, 0x01, 0x00})},
        {300, bytes({0x82, 0x01, 0x2C})},
        {65536, bytes({0x83, 0x01, 0x00, 0x00})},
        {16777216, bytes({0x84, 0x01, 0x00, 0x00, 0x00})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encodeLength(c.size), c.expected) << c.size;
}

TEST(PinpadTlv, DecodesWhatItEncodes)
{
    Fields in{{0x81, "PUR"}, {0x9F06, "A0000000031010"}, {0xC0, std::string(300, 'x')}, {0x9B, ""}};
    Fields out;
    ASSERT_TRUE(decodeTlv(encodeTlv(in), out));
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(out[i].tag, in[i].tag);
        EXPECT_EQ(out[i].value, in[i].value);
    }
    ASSERT_TRUE(decodeTlv(kPurchase, out));
    EXPECT_EQ(describe(out), "01=PUR 02=01 03=0123456789 04=000000000100");
}

TEST(PinpadTlv, RejectsTruncatedMessages)
{
    const std::string cases[] = {
        bytes({0x9F}),                                            // inside a tag
        bytes({0x9F, 0x26}),                                      // no length
        bytes({0x01, 0x05, 0x41}),                                // value short of its length
        bytes({0x01, 0x82, 0x01}),                                // long form short of a byte
        bytes({0x01, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x41}),  // five length bytes
        bytes({0x01, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}),        // length near 2^32
    };
    for (const std::string& c : cases) {
        Fields out;
        EXPECT_FALSE(decodeTlv(c, out)) << escapeBytes(c);
    }
}

TEST(PinpadTlv, LogTextEscapesBlanksAndBinary)
{
    EXPECT_EQ(describe({{0xC1, "A B\\"}, {0x80, std::string(1, '\x01')}, {0x9F26, "x"}}),
              "c1=A\\x20B\\x5c 80=\\x01 9f26=x");
}

TEST(PinpadFrame, EncodesBothLengths)
{
    EXPECT_EQ(encodeFrame(""), bytes({0x00, 0x04, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(encodeFrame(kPing), bytes({0x00, 0x0D, 0x00, 0x00, 0x00, 0x09}) + kPing);
    const std::string framed = encodeFrame(kPurchase);
    ASSERT_EQ(framed.size(), 41u);
    EXPECT_EQ(framed.substr(0, 6), bytes({0x00, 0x27, 0x00, 0x00, 0x00, 0x23}));
    EXPECT_EQ(framed.substr(6), kPurchase);
}

TEST(PinpadFrame, TakesFramesOffAStream)
{
    std::string tlv;
    std::string stream = encodeFrame(kPing) + encodeFrame(kPurchase);
    std::string first = stream.substr(0, 20);
    std::string rest = stream.substr(20);

    std::string buffer = first.substr(0, 5);
    EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Incomplete);
    buffer = first;
    ASSERT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    EXPECT_EQ(tlv, kPing);
    EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Incomplete);
    buffer += rest;
    ASSERT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    EXPECT_EQ(tlv, kPurchase);
    EXPECT_TRUE(buffer.empty());

    buffer = encodeFrame("");
    ASSERT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    EXPECT_EQ(tlv, "");
}

TEST(PinpadFrame, RejectsLengthsThatDisagree)
{
    const std::string cases[] = {
        bytes({0x00, 0x0D, 0x00, 0x00, 0x00, 0x08}) + kPing,
        bytes({0x00, 0x0D, 0x01, 0x00, 0x00, 0x09}) + kPing,  // the high inner bytes count too
        bytes({0x00, 0x03, 0x00, 0x00, 0x00, 0x00}),
        "GARBAGE!\r\n",
    };
    for (const std::string& c : cases) {
        std::string buffer = c;
        std::string tlv;
        EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Bad) << escapeBytes(c);
        EXPECT_EQ(buffer, c);
    }
}

TEST(PinpadScript, ParsesSteps)
{
    struct Case {
        const char* text;
        Verb verb;
        const char* code;
        int delayMs;
        bool split;
        int gapMs;
        bool twice;
        int count;
        const char* notice;
    } cases[] = {
        {"approve", Verb::Approve, "", 0, false, 50, false, 1, ""},
        {"accept:000", Verb::Approve, "000", 0, false, 50, false, 1, ""},
        {"decline:05", Verb::Decline, "05", 0, false, 50, false, 1, ""},
        {"refuse:B3", Verb::Decline, "B3", 0, false, 50, false, 1, ""},
        {"late:1500", Verb::Approve, "", 1500, false, 50, false, 1, ""},
        {"3*silent", Verb::Silent, "", 0, false, 50, false, 3, ""},
        {"garbage", Verb::Garbage, "", 0, false, 50, false, 1, ""},
        {"badtlv@20", Verb::BadTlv, "", 20, false, 50, false, 1, ""},
        {"disconnect@100", Verb::Disconnect, "", 100, false, 50, false, 1, ""},
        {"split", Verb::Approve, "", 0, true, 50, false, 1, ""},
        {"double", Verb::Approve, "", 0, false, 50, true, 1, ""},
        {"decline:51/split:200/double@300", Verb::Decline, "51", 300, true, 200, true, 1, ""},
        {"silent/notice:IND", Verb::Silent, "", 0, false, 50, false, 1, "IND"},
        {"approve/notice:-@800", Verb::Approve, "", 800, false, 50, false, 1, "-"},
    };
    for (const Case& c : cases) {
        Step step;
        int count = 0;
        std::string error;
        ASSERT_TRUE(parseStep(c.text, step, count, error)) << c.text << ": " << error;
        EXPECT_EQ(step.verb, c.verb) << c.text;
        EXPECT_EQ(step.code, c.code) << c.text;
        EXPECT_EQ(step.delayMs, c.delayMs) << c.text;
        EXPECT_EQ(step.split, c.split) << c.text;
        EXPECT_EQ(step.gapMs, c.gapMs) << c.text;
        EXPECT_EQ(step.twice, c.twice) << c.text;
        EXPECT_EQ(count, c.count) << c.text;
        EXPECT_EQ(step.notice, c.notice) << c.text;
    }
}

TEST(PinpadScript, RefusesBadRules)
{
    const char* cases[] = {"PUR", "pur=approve", "PURX=approve", "PUR=", "PUR=aprove", "PUR=late",
                           "PUR=late:x", "PUR=silent:5", "PUR=0*silent", "PUR=approve@", "PUR=split/approve",
                           "PUR=decline:a b", "PUR=approve,,approve", "PUR=approve/notice", "PUR=approve/notice:ind",
                           "PUR=approve/notice:INDX"};
    for (const char* c : cases) {
        Script script;
        std::string error;
        EXPECT_FALSE(script.addRule(c, error)) << c;
        EXPECT_FALSE(error.empty()) << c;
    }
}

TEST(PinpadScript, SequencesRepeatTheirLastStepAndFallBackToDefault)
{
    Script script;
    std::string error;
    ASSERT_TRUE(script.addRule("PUR=2*silent,decline:05,approve", error)) << error;
    ASSERT_TRUE(script.addRule("*=decline:91", error)) << error;
    const Verb expected[] = {Verb::Silent, Verb::Silent, Verb::Decline, Verb::Approve, Verb::Approve};
    for (Verb v : expected)
        EXPECT_EQ(script.next("PUR").verb, v);
    EXPECT_EQ(script.next("REF").code, "91");

    Script empty;
    EXPECT_EQ(empty.next("PUR").verb, Verb::Approve);
}

namespace {

// A terminal driven by hand: requests in, outputs taken at chosen times.
struct TerminalFixture : ::testing::Test {
    Script script;
    Terminal terminal{script};
    TimePoint t0 = Clock::now();

    void rule(const char* text)
    {
        std::string error;
        ASSERT_TRUE(script.addRule(text, error)) << error;
    }
    void send(const Fields& request) { terminal.received(encodeFrame(encodeTlv(request)), t0); }
    std::vector<Output> at(int ms) { return terminal.due(t0 + std::chrono::milliseconds(ms)); }

    // The single answer message of one write.
    static Fields answerOf(const Output& out)
    {
        std::string buffer = out.bytes, tlv;
        Fields fields;
        EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
        EXPECT_TRUE(buffer.empty());
        EXPECT_TRUE(decodeTlv(tlv, fields));
        return fields;
    }
    static std::string text(const Fields& fields, uint16_t tag)
    {
        const std::string* v = findField(fields, tag);
        return v ? *v : "<absent>";
    }
};

}  // namespace

TEST_F(TerminalFixture, ApprovedPurchaseCarriesRealisticFields)
{
    send(purchaseFields());
    std::vector<Output> out = at(0);
    ASSERT_EQ(out.size(), 1u);
    Fields a = answerOf(out[0]);
    EXPECT_EQ(text(a, 0x81), "PUR");
    EXPECT_EQ(text(a, 0x9B), "00");
    EXPECT_EQ(text(a, 0x83), "0123456789");
    EXPECT_EQ(text(a, 0x84), "000000000100");
    EXPECT_EQ(text(a, 0x89), "4111111111111111");
    EXPECT_EQ(text(a, 0x9D), "00012345");
    EXPECT_EQ(text(a, 0x98).size(), 12u);
    EXPECT_EQ(text(a, 0x8C).size(), 6u);
    EXPECT_EQ(text(a, 0x8D).size(), 4u);
    EXPECT_EQ(text(a, 0x8E).size(), 4u);
    EXPECT_EQ(text(a, 0xA1), "<absent>");
}

TEST_F(TerminalFixture, AnswersEachKindInItsOwnWay)
{
    rule("VOI=accept,refuse");
    rule("PUR=decline:51");
    struct Case {
        Fields request;
        const char* kind;
        const char* code;
        const char* reversalFlag;
    } cases[] = {
        {{{0x01, "VOI"}, {0x02, "01"}, {0x03, "0000000042"}, {0x04, "000000000100"}}, "VOI", "00", "Y"},
        {{{0x01, "VOI"}, {0x02, "01"}, {0x03, "0000000042"}, {0x04, "000000000100"}}, "VOI", "05", "N"},
        {purchaseFields(), "PUR", "51", "<absent>"},
        {{{0x01, "PNG"}, {0x02, "05"}}, "PNG", "00", "<absent>"},
        {{{0x01, "STL"}, {0x02, "01"}, {0x03, "0000000001"}}, "STL", "00", "<absent>"},
        {{{0x01, "FUN"}, {0x02, "01"}, {0x03, "0000000001"}, {0x0D, "07"}}, "FUN", "00", "<absent>"},
    };
    for (const Case& c : cases) {
        send(c.request);
        std::vector<Output> out = at(0);
        ASSERT_EQ(out.size(), 1u) << c.kind;
        Fields a = answerOf(out[0]);
        EXPECT_EQ(text(a, 0x81), c.kind);
        EXPECT_EQ(text(a, 0x9B), c.code) << c.kind;
        EXPECT_EQ(text(a, 0xA1), c.reversalFlag) << c.kind;
        if (const std::string* trace = findField(c.request, 0x03)) {
            EXPECT_EQ(text(a, 0x83), *trace) << c.kind;
        }
    }
}

TEST_F(TerminalFixture, KeyLoadingHasItsOwnRuleKind)
{
    rule("KEY=decline:05");
    send({{0x01, "FUN"}, {0x0D, "07"}});
    send({{0x01, "FUN"}, {0x0D, "37"}});
    std::vector<Output> out = at(0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(text(answerOf(out[0]), 0x9B), "05");
    Fields diag = answerOf(out[1]);
    EXPECT_EQ(text(diag, 0x9B), "00");
    // The container must come last: the server reads everything after it as its content.
    EXPECT_EQ(diag.back().tag, 0xE1);
}

TEST_F(TerminalFixture, TimesAndShapesItsWrites)
{
    rule("PUR=late:300,split:40,double,silent,garbage,badtlv,disconnect@10");

    send(purchaseFields());
    EXPECT_TRUE(at(299).empty());
    ASSERT_EQ(at(300).size(), 1u);

    send(purchaseFields());
    std::vector<Output> first = at(0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(at(39).empty());
    std::vector<Output> second = at(40);
    ASSERT_EQ(second.size(), 1u);
    Output joined = first[0];
    joined.bytes += second[0].bytes;
    EXPECT_EQ(text(answerOf(joined), 0x9B), "00");

    send(purchaseFields());
    std::vector<Output> twice = at(0);
    ASSERT_EQ(twice.size(), 1u);
    std::string buffer = twice[0].bytes, tlv;
    EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    EXPECT_TRUE(buffer.empty());

    send(purchaseFields());
    EXPECT_TRUE(at(600000).empty());

    send(purchaseFields());
    std::vector<Output> junk = at(0);
    ASSERT_EQ(junk.size(), 1u);
    buffer = junk[0].bytes;
    EXPECT_EQ(takeFrame(buffer, tlv), FrameStatus::Bad);

    send(purchaseFields());
    std::vector<Output> broken = at(0);
    ASSERT_EQ(broken.size(), 1u);
    buffer = broken[0].bytes;
    ASSERT_EQ(takeFrame(buffer, tlv), FrameStatus::Complete);
    Fields fields;
    EXPECT_FALSE(decodeTlv(tlv, fields));

    send(purchaseFields());
    EXPECT_TRUE(at(9).empty());
    std::vector<Output> close = at(10);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0].kind, Output::Close);
}

TEST_F(TerminalFixture, ReassemblesRequestsAndDropsBrokenOnes)
{
    const std::string two = encodeFrame(kPing) + encodeFrame(kPurchase);
    terminal.received(two.substr(0, 3), t0);
    EXPECT_TRUE(at(0).empty());
    terminal.received(two.substr(3), t0);
    EXPECT_EQ(at(0).size(), 2u);

    terminal.received("GARBAGE!", t0);
    terminal.received(encodeFrame(std::string("\x01\x05\x41", 3)), t0);
    EXPECT_TRUE(at(0).empty());
    send(purchaseFields());
    EXPECT_EQ(at(0).size(), 1u);
}

TEST_F(TerminalFixture, NewConnectionForgetsWhatWasDueAndCanSendUnasked)
{
    rule("PUR=late:100");
    send(purchaseFields());
    terminal.received(encodeFrame(kPing).substr(0, 4), t0);
    terminal.connected(t0, 50);
    // The unasked answer waits its 50 ms.
    EXPECT_TRUE(at(49).empty());
    std::vector<Output> out = at(1000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(text(answerOf(out[0]), 0x81), "PUR");
    EXPECT_EQ(text(answerOf(out[0]), 0x83), "<absent>");
    send({{0x01, "PNG"}, {0x02, "05"}});
    EXPECT_EQ(at(0).size(), 1u);
}

TEST_F(TerminalFixture, NoticeGoesFirstWithoutATrace)
{
    rule("PUR=approve/notice:IND@100,silent/notice:-");
    send(purchaseFields());
    std::vector<Output> first = at(0);
    ASSERT_EQ(first.size(), 1u);
    Fields notice = answerOf(first[0]);
    EXPECT_EQ(text(notice, 0x81), "IND");
    EXPECT_EQ(text(notice, 0x83), "<absent>");
    EXPECT_EQ(text(notice, 0x9B), "00");
    std::vector<Output> later = at(100);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(text(answerOf(later[0]), 0x81), "PUR");
    EXPECT_EQ(text(answerOf(later[0]), 0x83), "0123456789");

    send(purchaseFields());
    std::vector<Output> bare = at(600000);
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(text(answerOf(bare[0]), 0x81), "<absent>");
    EXPECT_EQ(text(answerOf(bare[0]), 0x82), "01");
}
