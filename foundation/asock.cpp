#include "asock.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "log.h"
#include "psnix.h"

namespace {

// How long listeners rest when no descriptor is left for a new connection.
const unsigned kAcceptRestMs = 200;

// The wait when no countdown is armed.
const unsigned kIdleWaitMs = 3600u * 1000u;
// An empty reactor without a default timeout naps this long between looks at
// the running flag.
const unsigned kEmptyNapMs = 1000;

bool watchable(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

bool tryLater(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

asock::asock()
    : dfTimeout(0)
    , nextGen(0)
    , acceptRestUntil(0)
    , wakeSignal(0)
{
    sigemptyset(&waitMask);
}

asock::~asock()
{
    std::vector<ssock*> open;
    for (const auto& entry : socks)
        open.push_back(entry.second);
    for (ssock* record : open)
        close(record);
    for (ssock* record : closed)
        delete record;
    closed.clear();
    socks.clear();
}

void asock::OnClose(ssock*)
{
}

ssock* asock::create(short kind)
{
    if (kind != 1 && kind != 2)
        return nullptr;
    ssock* record = new (std::nothrow) ssock;
    if (record == nullptr)
        return nullptr;
    // Close-on-exec: a program the daemon starts must not keep its ports or
    // connections open after the daemon has gone.
    int fd = socket(AF_INET, kind | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        delete record;
        return nullptr;
    }
    if (!watchable(fd)) {
        logsave("ERR: socket %d is beyond the select limit %d, closed", fd, FD_SETSIZE);
        PSClose(fd);
        delete record;
        return nullptr;
    }
    record->sock = fd;
    record->sockKind = kind;
    PSNonBlock(fd);
    return record;
}

ssock* asock::createTcp()
{
    return create(1);
}

ssock* asock::createUdp()
{
    return create(2);
}

bool asock::listen(ssock* record, unsigned short port)
{
    if (record == nullptr || record->sock < 0)
        return false;
    record->type = 1;
    PSFillAddrIn(&record->destAddr, htonl(INADDR_ANY), htons(port));
    if (PSBind(record->sock, &record->destAddr, sizeof(sockaddr_in)) != 0)
        return false;
    if (port == 0) {
        // Let the record tell which port the system picked.
        socklen_t len = sizeof(sockaddr_in);
        getsockname(record->sock, reinterpret_cast<sockaddr*>(&record->destAddr), &len);
    }
    if (record->sockKind == 1)
        return PSList(record->sock) == 0;
    return true;
}

int asock::connect(ssock* record, const char* host, unsigned short port)
{
    if (record == nullptr || record->sock < 0)
        return -1;
    record->type = 3;
    hostent* entry = PSGetHostByName(host);
    if (entry == nullptr)
        return -1;
    PSFillAddrIn(&record->destAddr, entry, htons(port));
    if (PSConnect(record->sock, &record->destAddr, sizeof(sockaddr_in)) == 0) {
        record->connectPending = true;
        return 1;
    }
    int error = PSGetLastError();
    if (error == EAGAIN || error == EINPROGRESS) {
        record->connectPending = true;
        return 0;
    }
    return -1;
}

ssock* asock::accept(ssock* listener)
{
    if (listener == nullptr || listener->sock < 0)
        return nullptr;
    ssock* record = new (std::nothrow) ssock;
    if (record == nullptr)
        return nullptr;
    int len = sizeof(sockaddr_in);
    int fd = PSAccept(listener->sock, &record->destAddr, &len);
    if (fd == -1) {
        delete record;
        return nullptr;
    }
    if (!watchable(fd)) {
        logsave("ERR: accepted socket %d is beyond the select limit %d, closed", fd, FD_SETSIZE);
        PSShutdown(fd, 2);
        PSClose(fd);
        delete record;
        return nullptr;
    }
    record->sock = fd;
    record->parent = listener;
    record->type = 2;
    record->sockKind = listener->sockKind;
    record->sockState = listener->sockState;
    PSNonBlock(fd);
    return record;
}

int asock::read(ssock* record)
{
    if (record == nullptr || record->sock < 0) {
        errno = EBADF;
        return -1;
    }
    unsigned short held = record->reResult < ssock::BUFF_SIZE ? record->reResult : ssock::BUFF_SIZE;
    unsigned short room = static_cast<unsigned short>(ssock::BUFF_SIZE - held);
    int got;
    if (record->sockKind == 2) {
        int len = sizeof(sockaddr_in);
        got = PSRecvFrom(record->sock, record->reBuff + held, room, &record->destAddr, &len);
    } else {
        got = PSRecv(record->sock, record->reBuff + held, room);
    }
    if (got > 0)
        record->reResult = static_cast<unsigned short>(held + got);
    return got;
}

int asock::write(ssock* record)
{
    if (record == nullptr || record->sock < 0) {
        errno = EBADF;
        return -1;
    }
    unsigned short n = record->getWrLen();
    if (n == 0)
        return 0;
    unsigned char* from = record->wrBuff + record->wrResult;
    int sent;
    if (record->sockKind == 2)
        sent = PSSendTo(record->sock, from, n, &record->destAddr, sizeof(sockaddr_in));
    else
        sent = PSSend(record->sock, from, n);
    if (sent > 0) {
        if (sent < n)
            record->writePending = true;
        record->wrResult = static_cast<unsigned short>(record->wrResult + sent);
    } else {
        int error = PSGetLastError();
        if (tryLater(error))
            record->writePending = true;
        else
            OnError(record, static_cast<short>(error), "write");
    }
    return sent;
}

bool asock::addSock(ssock* record)
{
    if (record == nullptr || record->sock < 0)
        return false;
    if (!watchable(record->sock)) {
        logsave("ERR: socket %d is beyond the select limit %d, not registered", record->sock, FD_SETSIZE);
        return false;
    }
    auto it = socks.find(record->sock);
    if (it != socks.end())
        return it->second == record;
    record->gen = ++nextGen;
    socks[record->sock] = record;
    return true;
}

void asock::close(ssock* record)
{
    if (record == nullptr || record->sock < 0)
        return;
    int fd = record->sock;
    // Only a record we own goes to deferred deletion, and it leaves the
    // registry now, so that its number is free for the next socket.
    auto it = socks.find(fd);
    if (it != socks.end() && it->second == record) {
        socks.erase(it);
        closed.push_back(record);
    }
    if (record->type == 2 && record->parent != nullptr && record->parent->acceptCount > 0)
        --record->parent->acceptCount;
    PSShutdown(fd, 2);
    PSClose(fd);
    record->sock = -1;
}

void asock::clearSock()
{
    std::vector<ssock*> gone;
    gone.swap(closed);
    for (ssock* record : gone)
        destroy(record);
}

void asock::delSock(int descriptor)
{
    auto it = socks.find(descriptor);
    if (it == socks.end())
        return;
    ssock* record = it->second;
    close(record);
    closed.erase(std::remove(closed.begin(), closed.end(), record), closed.end());
    destroy(record);
}

ssock* asock::getSock(int descriptor)
{
    auto it = socks.find(descriptor);
    return it != socks.end() ? it->second : nullptr;
}

void asock::setDfTimeout(unsigned ms)
{
    dfTimeout = ms;
}

void asock::wakeOn(int signal)
{
    wakeSignal = signal;
}

unsigned long long asock::now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000ull + static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull;
}

int asock::waitEvents(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, unsigned ms)
{
    if (wakeSignal != 0) {
        timespec wait;
        wait.tv_sec = static_cast<time_t>(ms / 1000);
        wait.tv_nsec = static_cast<long>((ms % 1000) * 1000000L);
        int n = pselect(nfds > 0 ? nfds : 0, readSet, writeSet, exceptSet, &wait, &waitMask);
        // The empty reactor only naps: a signal ends the nap, not the loop.
        return nfds > 0 ? n : 0;
    }
    if (nfds <= 0) {
        // Slept in slices so that no microsecond count overflows; a signal
        // cuts the nap short so the running flag is looked at soon.
        while (ms > 0) {
            unsigned slice = ms < 1000 ? ms : 1000;
            if (PSSleep(slice * 1000u) != 0)
                break;
            ms -= slice;
        }
        return 0;
    }
    timeval wait;
    wait.tv_sec = static_cast<time_t>(ms / 1000);
    wait.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return select(nfds, readSet, writeSet, exceptSet, &wait);
}

bool asock::live(int fd, ssock* record, unsigned long long gen) const
{
    auto it = socks.find(fd);
    return it != socks.end() && it->second == record && record->gen == gen;
}

unsigned long long asock::deadlineOf(ssock* record, unsigned long long at)
{
    // Armed since the last look, somewhere before at: counting from at may
    // make it late by what is left of one pass, never early.
    if (record->deadlineSeq != record->timeoutSeq) {
        record->deadlineSeq = record->timeoutSeq;
        record->deadline = at + record->timeout;
    }
    return record->deadline;
}

void asock::charge(unsigned long long at, std::vector<expiry>& expired)
{
    // Countdowns run on the time that really passed, whatever the traffic:
    // busy neighbours must not postpone a terminal's expiry. timeout shows
    // what is left.
    for (const auto& entry : socks) {
        ssock* record = entry.second;
        if (record->timeout == 0)
            continue;
        const unsigned long long end = deadlineOf(record, at);
        if (end <= at) {
            record->timeout = 0;
            expired.push_back(expiry{ entry.first, record, record->gen, record->timeoutSeq });
        } else {
            record->timeout = static_cast<unsigned>(end - at);
        }
    }
}

void asock::handleException(ssock* record)
{
    // Urgent data nobody reads would keep the condition set and every wait
    // short; step past the urgent byte, and give up on a socket where that
    // does not work.
    unsigned char urgent;
    if (recv(record->sock, &urgent, 1, MSG_OOB) == 1)
        return;
    logsave("ERR: exception condition on socket %d cannot be cleared, closed", record->sock);
    int fd = record->sock;
    unsigned long long gen = record->gen;
    OnClose(record);
    if (live(fd, record, gen))
        close(record);
}

bool asock::acceptPaused(unsigned long long at) const
{
    return at < acceptRestUntil;
}

void asock::handleListener(ssock* listener)
{
    ssock* record = accept(listener);
    if (record == nullptr) {
        int error = PSGetLastError();
        if (error == EMFILE || error == ENFILE) {
            acceptRestUntil = now() + kAcceptRestMs;
            logsave("ERR: no descriptor left to accept a connection on port %d", listener->getPort());
        }
        return;
    }
    if (listener->acceptCount < listener->acceptLimit) {
        ++listener->acceptCount;
        OnAccept(record);
        return;
    }
    PSShutdown(record->sock, 2);
    PSClose(record->sock);
    delete record;
}

void asock::destroy(ssock* record)
{
    // Accepted records outliving their listener must not point at freed memory.
    if (record->type == 1) {
        for (const auto& entry : socks)
            if (entry.second->parent == record)
                entry.second->parent = nullptr;
        for (ssock* other : closed)
            if (other->parent == record)
                other->parent = nullptr;
    }
    delete record;
}

void asock::run(const unsigned char* running)
{
    // Cleared by a signal handler: read from memory every time.
    const volatile unsigned char* flag = running;
    std::vector<ready> polled;
    std::vector<expiry> expired;
    struct maskGuard {
        bool held = false;
        sigset_t before;
        ~maskGuard()
        {
            if (held)
                sigprocmask(SIG_SETMASK, &before, nullptr);
        }
    } guard;
    if (wakeSignal != 0) {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, wakeSignal);
        guard.held = sigprocmask(SIG_BLOCK, &block, &guard.before) == 0;
        waitMask = guard.before;
        sigdelset(&waitMask, wakeSignal);
        if (!guard.held)
            wakeSignal = 0;
    }
    std::vector<ssock*> excepted;
    for (;;) {
        if (*flag == 0)
            return;
        clearSock();
        polled.clear();
        expired.clear();
        excepted.clear();

        if (socks.empty()) {
            waitEvents(0, nullptr, nullptr, nullptr, dfTimeout != 0 ? dfTimeout : kEmptyNapMs);
            if (dfTimeout != 0)
                OnTimeout(nullptr);
            continue;
        }

        fd_set readSet;
        fd_set writeSet;
        fd_set exceptSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_ZERO(&exceptSet);
        unsigned ms = dfTimeout;
        bool due = false;
        int highest = -1;
        const unsigned long long at = now();
        const bool resting = acceptPaused(at);
        if (resting)
            ms = static_cast<unsigned>(acceptRestUntil - at);
        for (const auto& entry : socks) {
            int fd = entry.first;
            ssock* record = entry.second;
            if (!watchable(fd))
                continue;
            if (!(resting && record->type == 1 && record->sockKind == 1))
                FD_SET(fd, &readSet);
            FD_SET(fd, &exceptSet);
            if (record->connectPending || record->writePending)
                FD_SET(fd, &writeSet);
            if (record->timeout != 0) {
                const unsigned long long end = deadlineOf(record, at);
                const unsigned left = end > at ? static_cast<unsigned>(end - at) : 0;
                if (left == 0)
                    due = true;
                else if (ms == 0 || ms > left)
                    ms = left;
            }
            polled.push_back(ready{ fd, record, record->gen });
            highest = fd;
        }

        // A countdown already due (held back from an iteration with an
        // exception condition) only lets the wait look.
        const unsigned wait = due ? 0 : (ms != 0 ? ms : kIdleWaitMs);
        int count = waitEvents(highest + 1, &readSet, &writeSet, &exceptSet, wait);
        int error = PSGetLastError();
        charge(now(), expired);
        if (count < 0) {
            OnError(nullptr, static_cast<short>(error), "select");
            return;
        }

        for (size_t i = 0; count > 0 && i < polled.size(); ++i) {
            const ready& p = polled[i];
            ssock* record = p.record;
            if (!live(p.fd, record, p.gen))
                continue;
            if (FD_ISSET(p.fd, &exceptSet)) {
                excepted.push_back(record);
                OnError(record, 0, "select exceptfds");
                if (live(p.fd, record, p.gen))
                    handleException(record);
                continue;
            }
            if (FD_ISSET(p.fd, &writeSet)) {
                // Flags drop before the call, so a write made inside it that
                // leaves bytes behind asks for the next writable turn.
                if (record->connectPending) {
                    record->connectPending = false;
                    OnConnect(record);
                }
                if (live(p.fd, record, p.gen) && record->writePending) {
                    record->writePending = false;
                    OnWrite(record);
                }
            }
            if (!FD_ISSET(p.fd, &readSet) || !live(p.fd, record, p.gen))
                continue;
            if (record->type == 1 && record->sockKind == 1) {
                handleListener(record);
                continue;
            }
            int got = read(record);
            int readError = PSGetLastError();
            if (got > 0) {
                OnRead(record);
            } else if (record->sockKind == 2 || (got < 0 && tryLater(readError))) {
                // A datagram socket has no peer to lose, and a spurious
                // wake-up is no close.
            } else {
                OnClose(record);
                if (live(p.fd, record, p.gen))
                    close(record);
            }
        }

        for (const expiry& x : expired) {
            if (!live(x.fd, x.record, x.gen) || x.record->timeoutSeq != x.seq)
                continue;
            if (std::find(excepted.begin(), excepted.end(), x.record) != excepted.end()) {
                // OnError alone in this iteration: the expiry stays armed and
                // due (its deadline has passed), so the next wait only looks
                // and the next iteration delivers it.
                x.record->timeout = 1;
                continue;
            }
            OnTimeout(x.record);
        }
    }
}
