#include "ssock.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "psnix.h"

ssock::ssock()
    : sock(-1)
    , sockKind(0)
    , type(0)
    , connectPending(false)
    , writePending(false)
    , acceptLimit(0)
    , acceptCount(0)
    , wrLen(0)
    , wrResult(0)
    , reResult(0)
    , timeout(0)
    , parent(nullptr)
    , sockState(nullptr)
    , gen(0)
    , timeoutSeq(0)
    , deadline(0)
    , deadlineSeq(0)
{
    std::memset(&destAddr, 0, sizeof destAddr);
}

// The descriptor's lifetime belongs to the reactor.
ssock::~ssock() = default;

int ssock::getSocket() const
{
    return sock;
}

void ssock::setSocket(int fd)
{
    sock = fd;
}

unsigned short ssock::getType() const
{
    return type;
}

void ssock::setType(unsigned short role)
{
    type = role;
}

unsigned short ssock::getMaxLen() const
{
    return BUFF_SIZE;
}

unsigned short ssock::getWrResult() const
{
    return wrResult;
}

unsigned short ssock::getReResult() const
{
    return reResult;
}

unsigned short ssock::setWrBuff(const unsigned char* data, unsigned short length)
{
    if (wrResult >= wrLen) {
        wrLen = 0;
        wrResult = 0;
    } else if (wrResult > 0) {
        // Unsent bytes must leave before anything appended after them.
        std::memmove(wrBuff, wrBuff + wrResult, wrLen - wrResult);
        wrLen = static_cast<unsigned short>(wrLen - wrResult);
        wrResult = 0;
    }
    // A message that does not fit is refused whole: a cut one would corrupt
    // the stream.
    if (length == 0 || data == nullptr || static_cast<unsigned>(wrLen) + length > BUFF_SIZE)
        return 0;
    std::memcpy(wrBuff + wrLen, data, length);
    wrLen = static_cast<unsigned short>(wrLen + length);
    return length;
}

unsigned short ssock::getWrLen() const
{
    return wrLen > wrResult ? static_cast<unsigned short>(wrLen - wrResult) : 0;
}

unsigned short ssock::getReBuff(unsigned char* out, unsigned short max) const
{
    if (max == 0)
        return reResult;
    unsigned short n = max < reResult ? max : reResult;
    if (out != nullptr)
        std::memcpy(out, reBuff, n);
    return out != nullptr ? n : 0;
}

void ssock::buffReCl()
{
    reResult = 0;
}

void ssock::buffWrCl()
{
    wrLen = 0;
    wrResult = 0;
}

void ssock::setTimeout(unsigned ms)
{
    timeout = ms;
    ++timeoutSeq;
}

void ssock::setAccept(unsigned short n)
{
    acceptLimit = n;
}

unsigned short ssock::getAccept() const
{
    return acceptCount;
}

void ssock::getIp(char* out) const
{
    unsigned long address = ntohl(destAddr.sin_addr.s_addr);
    std::snprintf(out, 16, "%d.%d.%d.%d", static_cast<int>((address >> 24) & 0xff),
        static_cast<int>((address >> 16) & 0xff), static_cast<int>((address >> 8) & 0xff),
        static_cast<int>(address & 0xff));
}

unsigned short ssock::getPort() const
{
    return ntohs(destAddr.sin_port);
}

ssock* ssock::getParent() const
{
    return parent;
}

void ssock::setState(void* state)
{
    sockState = state;
}

void* ssock::getState() const
{
    return sockState;
}

bool ssock::setDestAddr(const char* host, unsigned short port)
{
    hostent* entry = PSGetHostByName(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr
        || entry->h_addr_list[0] == nullptr)
        return false;
    PSFillAddrIn(&destAddr, entry, htons(port));
    return true;
}

bool ssock::parsIpPort(const char* text, char* host, char* port) const
{
    if (text == nullptr)
        return false;
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr)
        return false;
    size_t hostLen = static_cast<size_t>(colon - text);
    std::memcpy(host, text, hostLen);
    host[hostLen] = '\0';
    std::strcpy(port, colon + 1);
    return true;
}
