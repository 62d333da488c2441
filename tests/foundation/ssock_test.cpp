#include "ssock.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "psnix.h"

namespace {

std::vector<unsigned char> bytes(size_t n, unsigned char first)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(first + i % 200);
    return v;
}

TEST(SsockTest, NewRecordHoldsNoSocketAndNothingElse)
{
    ssock s;
    EXPECT_EQ(s.getSocket(), -1);
    EXPECT_EQ(s.getWrLen(), 0);
    EXPECT_EQ(s.getReBuff(nullptr, 0), 0);
    EXPECT_EQ(s.getAccept(), 0);
    EXPECT_EQ(s.timeout, 0u);
    EXPECT_FALSE(s.connectPending);
    EXPECT_FALSE(s.writePending);
    EXPECT_EQ(s.getParent(), nullptr);
    EXPECT_EQ(s.getState(), nullptr);
    EXPECT_EQ(s.getMaxLen(), 10240);
}

struct WrBuffCase {
    const char* name;
    unsigned short placed;   // bytes placed first
    unsigned short sent;     // of those, already sent
    unsigned short append;
    unsigned short result;
    unsigned short wrLen;
    unsigned short wrResult;
};

class SetWrBuffTest : public ::testing::TestWithParam<WrBuffCase> {
};

TEST_P(SetWrBuffTest, CompactsThenAppendsWholeOrNothing)
{
    const WrBuffCase& c = GetParam();
    ssock s;
    std::vector<unsigned char> first = bytes(c.placed, 1);
    if (c.placed > 0) {
        ASSERT_EQ(s.setWrBuff(first.data(), c.placed), c.placed);
    }
    s.wrResult = c.sent;
    std::vector<unsigned char> second = bytes(c.append, 7);

    EXPECT_EQ(s.setWrBuff(second.data(), c.append), c.result);
    EXPECT_EQ(s.wrLen, c.wrLen);
    EXPECT_EQ(s.wrResult, c.wrResult);

    // Unsent bytes stand at the front, followed by what was appended.
    unsigned short unsent = static_cast<unsigned short>(c.placed - c.sent);
    if (unsent > 0 && (c.result != 0 || unsent == c.wrLen)) {
        EXPECT_EQ(0, std::memcmp(s.wrBuff, first.data() + c.sent, unsent));
    }
    if (c.result != 0) {
        EXPECT_EQ(0, std::memcmp(s.wrBuff + unsent, second.data(), c.append));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SetWrBuffTest,
    ::testing::Values(WrBuffCase{ "FullBufferFitsEmpty", 0, 0, 10240, 10240, 10240, 0 },
        WrBuffCase{ "OneByteTooManyRefused", 0, 0, 10241, 0, 0, 0 },
        WrBuffCase{ "UnsentMovedToFront", 100, 40, 10180, 10180, 10240, 0 },
        WrBuffCase{ "RefusedAfterCompaction", 100, 40, 10181, 0, 60, 0 },
        WrBuffCase{ "AllSentStartsOver", 100, 100, 10240, 10240, 10240, 0 },
        WrBuffCase{ "NothingSentAppends", 100, 0, 50, 50, 150, 0 },
        WrBuffCase{ "EmptyMessageAppendsNothing", 100, 40, 0, 0, 60, 0 }),
    [](const ::testing::TestParamInfo<WrBuffCase>& info) { return std::string(info.param.name); });

TEST(SsockTest, WrLenNeverWrapsBelowZero)
{
    ssock s;
    s.wrLen = 100;
    s.wrResult = 100;
    EXPECT_EQ(s.getWrLen(), 0);
    s.wrResult = 150;
    EXPECT_EQ(s.getWrLen(), 0);
    s.wrResult = 30;
    EXPECT_EQ(s.getWrLen(), 70);
    s.buffWrCl();
    EXPECT_EQ(s.wrLen, 0);
    EXPECT_EQ(s.wrResult, 0);
}

TEST(SsockTest, GetReBuffCopiesAtMostHeldWithoutConsuming)
{
    struct Case {
        unsigned short held;
        unsigned short max;
        unsigned short result;
    };
    const Case cases[] = { { 3, 5, 3 }, { 8, 5, 5 }, { 8, 0, 8 }, { 0, 5, 0 }, { 10240, 10240, 10240 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "held " << c.held << " max " << c.max);
        ssock s;
        std::vector<unsigned char> data = bytes(c.held, 3);
        if (c.held > 0)
            std::memcpy(s.reBuff, data.data(), c.held);
        s.reResult = c.held;
        std::vector<unsigned char> out(c.max + 1, 0xEE);
        EXPECT_EQ(s.getReBuff(out.data(), c.max), c.result);
        unsigned short copied = c.max == 0 ? 0 : c.result;
        if (copied > 0) {
            EXPECT_EQ(0, std::memcmp(out.data(), data.data(), copied));
        }
        EXPECT_EQ(out[copied], 0xEE);
        EXPECT_EQ(s.getReBuff(nullptr, 0), c.held);
    }
    ssock s;
    s.reResult = 8;
    s.buffReCl();
    EXPECT_EQ(s.getReBuff(nullptr, 0), 0);
}

TEST(SsockTest, IpAndPortReadAsHostOrder)
{
    struct Case {
        const char* ip;
        unsigned short port;
    };
    const Case cases[] = { { "10.0.200.7", 3232 }, { "255.255.255.255", 65535 }, { "0.0.0.0", 0 }, { "192.168.1.10", 1 } };
    for (const Case& c : cases) {
        ssock s;
        PSFillAddrIn(&s.destAddr, inet_addr(c.ip), htons(c.port));
        char out[16];
        s.getIp(out);
        EXPECT_STREQ(out, c.ip);
        EXPECT_EQ(s.getPort(), c.port);
    }
}

TEST(SsockTest, ParsIpPortSplitsAtFirstColon)
{
    struct Case {
        const char* text;
        bool split;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        { "10.1.2.3:8080", true, "10.1.2.3", "8080" },
        { "a:b:c", true, "a", "b:c" },
        { ":5", true, "", "5" },
        { "host:", true, "host", "" },
        { "nocolon", false, "untouched", "untouched" },
        { "", false, "untouched", "untouched" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ssock s;
        char host[32] = "untouched";
        char port[32] = "untouched";
        EXPECT_EQ(s.parsIpPort(c.text, host, port), c.split);
        EXPECT_STREQ(host, c.host);
        EXPECT_STREQ(port, c.port);
    }
}

TEST(SsockTest, SetDestAddrResolvesOrLeavesAddressAlone)
{
    ssock s;
    ASSERT_TRUE(s.setDestAddr("127.0.0.1", 3232));
    char out[16];
    s.getIp(out);
    EXPECT_STREQ(out, "127.0.0.1");
    EXPECT_EQ(s.getPort(), 3232);
    EXPECT_EQ(s.destAddr.sin_family, AF_INET);

    sockaddr_in before = s.destAddr;
    EXPECT_FALSE(s.setDestAddr("no-such-host.invalid", 80));
    EXPECT_EQ(0, std::memcmp(&before, &s.destAddr, sizeof before));
    EXPECT_FALSE(s.setDestAddr(nullptr, 80));
    EXPECT_EQ(0, std::memcmp(&before, &s.destAddr, sizeof before));
}

TEST(SsockTest, SetTimeoutMarksEveryArming)
{
    ssock s;
    unsigned seq = s.timeoutSeq;
    s.setTimeout(500);
    EXPECT_EQ(s.timeout, 500u);
    s.setTimeout(500);
    s.setTimeout(0);
    EXPECT_EQ(s.timeout, 0u);
    // A re-arm with the same value must still be told apart.
    EXPECT_EQ(s.timeoutSeq, seq + 3);
}

} // namespace
