#include "psnix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(PsnixTest, FillAddrInZeroesAllButFamilyAddressAndPort)
{
    sockaddr_in a;
    std::memset(&a, 0xAB, sizeof a);
    PSFillAddrIn(&a, inet_addr("10.20.30.40"), htons(3232));
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(a.sin_addr.s_addr, inet_addr("10.20.30.40"));
    EXPECT_EQ(a.sin_port, htons(3232));
    for (unsigned char c : a.sin_zero) {
        EXPECT_EQ(c, 0);
    }

    hostent* host = PSGetHostByName("127.0.0.1");
    ASSERT_NE(host, nullptr);
    std::memset(&a, 0xAB, sizeof a);
    EXPECT_EQ(PSFillAddrIn(&a, host, htons(80)), &a);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(a.sin_port, htons(80));

    EXPECT_EQ(PSGetHostByName("no-such-host.invalid"), nullptr);
}

TEST(PsnixTest, NonBlockSetsTheStandardOptions)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    PSNonBlock(fd);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    struct Option {
        int level;
        int name;
        int value;
    };
    const Option options[] = { { SOL_SOCKET, SO_REUSEADDR, 1 }, { SOL_SOCKET, SO_KEEPALIVE, 1 },
        { IPPROTO_TCP, TCP_KEEPCNT, 2 }, { IPPROTO_TCP, TCP_KEEPIDLE, 120 }, { IPPROTO_TCP, TCP_KEEPINTVL, 60 } };
    for (const Option& o : options) {
        int value = -1;
        socklen_t len = sizeof value;
        ASSERT_EQ(getsockopt(fd, o.level, o.name, &value, &len), 0);
        EXPECT_EQ(value, o.value) << "option " << o.name;
    }
    PSClose(fd);
}

TEST(PsnixTest, SendToGonePeerFailsWithoutSignal)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    PSClose(pair[1]);
    unsigned char byte = 1;
    errno = 0;
    EXPECT_EQ(PSSend(pair[0], &byte, 1), -1);
    EXPECT_EQ(PSGetLastError(), EPIPE);
    PSClose(pair[0]);
}

TEST(PsnixTest, HostIpCountsWithoutStoring)
{
    in_addr out[8];
    EXPECT_EQ(PSGetHostIp(out, 0), 0);
    EXPECT_EQ(PSGetHostIp(out, -1), 0);
    int stored = PSGetHostIp(out, 8);
    EXPECT_EQ(PSGetHostIp(nullptr, 8), stored);
    if (stored > 1) {
        EXPECT_EQ(PSGetHostIp(out, 1), 1);
    }
}

TEST(PsnixTest, PlatformHooksDoNothing)
{
    PS_INFO info;
    PSInit(&info);
    EXPECT_EQ(PSStartUp(&info), 0);
    PSCleanup();
}

} // namespace
