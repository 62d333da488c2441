#include <gtest/gtest.h>

#include "eposp.h"
#include "epost.h"
#include "server/codec_helpers.h"

namespace {

// What the server core does with an outgoing TLV message.
bytes wrap(const bytes& tlvMessage)
{
    eposp inner;
    epost outer;
    bytes work;
    inner << tlvMessage;
    work << inner;
    outer << work;
    work << outer;
    return work;
}

// What the server core does with one read from a terminal.
bytes unwrap(const bytes& read)
{
    eposp inner;
    epost outer;
    bytes work;
    read >> outer;
    outer >> work;
    work >> inner;
    inner >> work;
    return work;
}

bytes filled(size_t n, unsigned char c = 'A') { return bytes(n, c); }

TEST(Frames, EncodeBothFramesAroundTheMessage)
{
    struct Case {
        size_t size;
        const char* head;
    } cases[] = {
        {0, "00 04 00 00 00 00"},
        {35, "00 27 00 00 00 23"},
        {300, "01 30 00 00 01 2C"},
        {65531, "FF FF 00 00 FF FB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const bytes message = filled(c.size);
        EXPECT_EQ(wrap(message), concat({hexBytes(c.head), message}));
    }
}

TEST(Frames, OuterLengthKeepsOnlyItsLow16Bits)
{
    epost outer;
    outer << filled(65536 + 3);
    bytes out;
    out << outer;
    ASSERT_EQ(out.size(), 65536u + 5);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x03);
}

TEST(Frames, EncodeDiscardsEarlierOutput)
{
    eposp inner;
    inner << hexBytes("41");
    bytes out = hexBytes("DE AD BE EF");
    out << inner;
    EXPECT_EQ(out, hexBytes("00 00 00 01 41"));
}

TEST(Frames, OuterDecode)
{
    struct Case {
        const char* in;
        const char* payload; // "" when rejected
    } cases[] = {
        {"", ""},
        {"00", ""},
        {"00 01", ""},           // length but no payload: too short
        {"00 01 41", "41"},
        {"00 02 41", ""},        // one byte less than announced
        {"00 00 41", ""},        // one byte more than announced
        {"01 00 41", ""},        // high byte of the length counts
        {"00 01 41 00 01 42", ""}, // two frames in one read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        epost outer;
        hexBytes(c.in) >> outer;
        EXPECT_EQ(outer.payload, hexBytes(c.payload));
    }
}

TEST(Frames, InnerDecode)
{
    struct Case {
        const char* in;
        const char* payload;
    } cases[] = {
        {"", ""},
        {"00 00 00 00", ""},
        {"00 00 00 01 41", "41"},
        {"01 00 00 05 41 42 43 44 45", "41 42 43 44 45"}, // high half is not examined
        {"FF FF 00 01 41", "41"},
        {"00 00 00 02 41", ""},
        {"00 00 01 01 41", ""},
        {"00 00 00 01 41 42", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        eposp inner;
        hexBytes(c.in) >> inner;
        EXPECT_EQ(inner.payload, hexBytes(c.payload));
    }
}

TEST(Frames, UnwrapWholeReads)
{
    const bytes ping = hexBytes("01 03 50 4E 47 02 02 30 35");
    EXPECT_EQ(unwrap(wrap(ping)), ping);
    // An empty message looks the same as a rejected read to the caller.
    EXPECT_TRUE(unwrap(hexBytes("00 04 00 00 00 00")).empty());

    // No reassembly: each half of a split frame, and two frames together, are rejected.
    const bytes framed = wrap(ping);
    const bytes first(framed.begin(), framed.begin() + 7), second(framed.begin() + 7, framed.end());
    EXPECT_TRUE(unwrap(first).empty());
    EXPECT_TRUE(unwrap(second).empty());
    EXPECT_TRUE(unwrap(concat({framed, framed})).empty());
}

TEST(Frames, RejectedDecodeNeverKeepsAnEarlierPayload)
{
    eposp inner;
    epost outer;
    hexBytes("00 00 00 01 41") >> inner;
    hexBytes("00 01 41") >> outer;
    ASSERT_FALSE(inner.payload.empty());
    ASSERT_FALSE(outer.payload.empty());
    hexBytes("00 00 00 07 41") >> inner;
    hexBytes("00") >> outer;
    EXPECT_TRUE(inner.payload.empty());
    EXPECT_TRUE(outer.payload.empty());
}

TEST(Frames, MemberOperatorsCopyThePayload)
{
    eposp inner;
    bytes v = hexBytes("01 02");
    inner << v;
    v.push_back(3); // the frame holds its own copy
    bytes back = hexBytes("FF");
    inner >> back;
    EXPECT_EQ(back, hexBytes("01 02"));

    epost outer;
    outer << hexBytes("03");
    outer >> back;
    EXPECT_EQ(back, hexBytes("03"));
}

}  // namespace
