#include "asock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "psnix.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Event {
    std::string what;
    ssock* record;
    int iteration;
    short error;
    std::string step;
};

// Records every callback; the hooks change what a callback does. In fake mode
// the clock is a number and each wait polls the real sockets without blocking,
// then moves the clock by the whole wait when nothing was ready.
class TestReactor : public asock {
public:
    unsigned char running = 1;
    int iterations = 0;
    int stopAfter = 0;
    bool fake = false;
    unsigned long long clock = 1000000;
    unsigned activeStep = 0;
    unsigned guardMs = 5000;
    std::function<int()> failWait;
    std::vector<unsigned> waits;
    std::vector<Event> events;
    std::function<void(ssock*)> onAccept, onConnect, onRead, onWrite, onClose, onTimeout;
    std::function<void(ssock*, short, const char*)> onError;

    void go()
    {
        started = Clock::now();
        run(&running);
    }
    void again()
    {
        running = 1;
        go();
    }
    void stop() { running = 0; }

    int count(const std::string& what, ssock* record = nullptr) const
    {
        int n = 0;
        for (const Event& e : events)
            if (e.what == what && (record == nullptr || e.record == record))
                ++n;
        return n;
    }

    void OnAccept(ssock* s) override
    {
        note("accept", s);
        if (onAccept)
            onAccept(s);
        else
            addSock(s);
    }
    void OnConnect(ssock* s) override
    {
        note("connect", s);
        if (onConnect)
            onConnect(s);
    }
    void OnRead(ssock* s) override
    {
        note("read", s);
        if (onRead)
            onRead(s);
        else
            s->buffReCl();
    }
    void OnWrite(ssock* s) override
    {
        note("write", s);
        if (onWrite)
            onWrite(s);
    }
    void OnClose(ssock* s) override
    {
        note("close", s);
        if (onClose)
            onClose(s);
    }
    void OnTimeout(ssock* s) override
    {
        note("timeout", s);
        if (onTimeout)
            onTimeout(s);
    }
    void OnError(ssock* s, short error, const char* step) override
    {
        events.push_back(Event{ "error", s, iterations, error, step });
        if (onError)
            onError(s, error, step);
    }

protected:
    unsigned long long now() override { return fake ? clock : asock::now(); }

    int waitEvents(int nfds, fd_set* r, fd_set* w, fd_set* e, unsigned ms) override
    {
        ++iterations;
        waits.push_back(ms);
        if ((stopAfter != 0 && iterations >= stopAfter) || iterations > 10000)
            running = 0;
        if (!fake) {
            unsigned spent = static_cast<unsigned>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
            if (spent >= guardMs || running == 0) {
                running = 0;
                ms = 0;
            } else if (ms > guardMs - spent) {
                ms = guardMs - spent;
            }
            return asock::waitEvents(nfds, r, w, e, ms);
        }
        if (failWait)
            return failWait();
        int n = 0;
        if (nfds > 0) {
            timeval zero = { 0, 0 };
            n = select(nfds, r, w, e, &zero);
        }
        clock += n > 0 ? activeStep : ms;
        return n;
    }

private:
    void note(const char* what, ssock* s) { events.push_back(Event{ what, s, iterations, 0, "" }); }
    Clock::time_point started;
};

// Descriptors opened by a test, closed at its end.
struct Fds {
    std::vector<int> fds;
    int add(int fd)
    {
        fds.push_back(fd);
        return fd;
    }
    ~Fds()
    {
        for (int fd : fds)
            ::close(fd);
    }
};

int tcpClient(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    PSFillAddrIn(&a, htonl(INADDR_LOOPBACK), htons(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

unsigned short localPort(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

ssock* makeListener(TestReactor& r, unsigned short limit)
{
    ssock* l = r.createTcp();
    EXPECT_NE(l, nullptr);
    EXPECT_TRUE(r.listen(l, 0));
    EXPECT_NE(l->getPort(), 0);
    l->setAccept(limit);
    EXPECT_TRUE(r.addSock(l));
    return l;
}

// Runs the loop until the listener hands over one connection, registered.
ssock* acceptOne(TestReactor& r)
{
    ssock* got = nullptr;
    auto saved = r.onAccept;
    r.onAccept = [&](ssock* s) {
        r.addSock(s);
        got = s;
        r.stop();
    };
    r.again();
    r.onAccept = saved;
    return got;
}

// A registered record over one end of a stream socketpair; the other end is
// the test's.
ssock* adopt(TestReactor& r, int fd)
{
    fcntl(fd, F_SETFL, O_NONBLOCK);
    ssock* s = new ssock;
    s->sock = fd;
    s->sockKind = 1;
    s->type = 2;
    EXPECT_TRUE(r.addSock(s));
    return s;
}

void makePair(Fds& fds, int& mine, int& peer)
{
    int p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
    mine = p[0];
    peer = fds.add(p[1]);
}

// A record the reactor adopted on one end of a fresh pair; the peer stays open in fds.
ssock* adoptFresh(TestReactor& r, Fds& fds)
{
    int mine = -1, peer = -1;
    makePair(fds, mine, peer);
    return adopt(r, mine);
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

bool waitReadable(int fd, short what = POLLIN)
{
    pollfd p = { fd, what, 0 };
    return poll(&p, 1, 2000) == 1;
}

// ---- listeners and accepted connections -------------------------------------

TEST(AsockTest, AcceptLimitRefusesAndFreesThenTakesAgainAfterClose)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 2);
    fds.add(tcpClient(l->getPort()));
    ssock* a1 = acceptOne(r);
    int c2 = fds.add(tcpClient(l->getPort()));
    ssock* a2 = acceptOne(r);
    ASSERT_NE(a1, nullptr);
    ASSERT_NE(a2, nullptr);
    EXPECT_EQ(a1->getParent(), l);
    EXPECT_EQ(l->getAccept(), 2);

    // The third is taken off the queue and shut at once, with no callback.
    int c3 = fds.add(tcpClient(l->getPort()));
    char byte;
    ASSERT_TRUE(waitReadable(l->getSocket()));
    a2->setTimeout(100);
    r.onTimeout = [&](ssock*) { r.stop(); };
    r.again();
    EXPECT_EQ(r.count("accept"), 2);
    EXPECT_EQ(l->getAccept(), 2);
    ASSERT_TRUE(waitReadable(c3));
    EXPECT_LE(recv(c3, &byte, 1, 0), 0);

    // One of the two goes: the count drops and the next connection is taken.
    ::close(c2);
    r.onTimeout = nullptr;
    r.onClose = [&](ssock* s) {
        EXPECT_EQ(s, a2);
        EXPECT_EQ(l->getAccept(), 2);
        r.stop();
    };
    r.again();
    EXPECT_EQ(l->getAccept(), 1);
    fds.add(tcpClient(l->getPort()));
    ssock* a4 = acceptOne(r);
    EXPECT_EQ(r.count("close", a2), 1);
    EXPECT_NE(a4, nullptr);
    EXPECT_EQ(l->getAccept(), 2);
}

TEST(AsockTest, PeerCloseGivesOnCloseWhileRecordStillOpen)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 5);
    int c = fds.add(tcpClient(l->getPort()));
    unsigned short clientPort = localPort(c);
    ssock* a = acceptOne(r);
    ASSERT_NE(a, nullptr);
    int fd = a->getSocket();

    shutdown(c, SHUT_WR);
    r.onClose = [&](ssock* s) {
        EXPECT_EQ(s->getSocket(), fd);
        EXPECT_TRUE(isOpen(fd));
        char ip[16];
        s->getIp(ip);
        EXPECT_STREQ(ip, "127.0.0.1");
        EXPECT_EQ(s->getPort(), clientPort);
        r.stop();
    };
    r.again();
    EXPECT_EQ(r.count("close", a), 1);
    EXPECT_EQ(l->getAccept(), 0);
    EXPECT_EQ(r.getSock(fd), nullptr);
    // The peer sees the connection end from our side as well.
    char byte;
    ASSERT_TRUE(waitReadable(c));
    EXPECT_EQ(recv(c, &byte, 1, 0), 0);
}

TEST(AsockTest, AcceptedRecordInheritsListenerState)
{
    TestReactor r;
    Fds fds;
    int tag = 0;
    ssock* l = makeListener(r, 1);
    l->setState(&tag);
    fds.add(tcpClient(l->getPort()));
    ssock* a = acceptOne(r);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getState(), &tag);
    EXPECT_EQ(a->getType(), 2);
    EXPECT_EQ(l->getType(), 1);
    EXPECT_EQ(fcntl(a->getSocket(), F_GETFL) & O_NONBLOCK, O_NONBLOCK);
}

// A program the daemon starts must hold none of its ports or connections.
TEST(AsockTest, EveryDescriptorIsCloseOnExec)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 1);
    fds.add(tcpClient(l->getPort()));
    ssock* accepted = acceptOne(r);
    ASSERT_NE(accepted, nullptr);
    ssock* datagram = r.createUdp();
    ASSERT_NE(datagram, nullptr);
    const struct {
        const char* name;
        ssock* record;
    } cases[] = {{"listener", l}, {"accepted", accepted}, {"datagram", datagram}};
    for (const auto& c : cases)
        EXPECT_EQ(FD_CLOEXEC, fcntl(c.record->getSocket(), F_GETFD) & FD_CLOEXEC) << c.name;
    r.addSock(datagram);
}

TEST(AsockTest, ClosedListenerLeavesNoDanglingParent)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 1);
    int c = fds.add(tcpClient(l->getPort()));
    ssock* a = acceptOne(r);
    ASSERT_NE(a, nullptr);
    r.close(l);
    r.stopAfter = r.iterations + 1;
    r.again(); // deletes the listener
    EXPECT_EQ(a->getParent(), nullptr);
    ::shutdown(c, SHUT_WR);
    r.stopAfter = 0;
    r.onClose = [&](ssock*) { r.stop(); };
    r.again();
    EXPECT_EQ(r.count("close", a), 1);
}

TEST(AsockTest, OutgoingConnectReportsConnect)
{
    TestReactor r;
    ssock* l = makeListener(r, 1);
    ssock* out = r.createTcp();
    ASSERT_NE(out, nullptr);
    int result = r.connect(out, "127.0.0.1", l->getPort());
    EXPECT_GE(result, 0);
    EXPECT_TRUE(out->connectPending);
    EXPECT_EQ(out->getType(), 3);
    ASSERT_TRUE(r.addSock(out));
    int seen = 0;
    r.onConnect = [&](ssock*) {
        if (++seen && r.count("accept") > 0)
            r.stop();
    };
    r.onAccept = [&](ssock* s) {
        r.addSock(s);
        if (seen > 0)
            r.stop();
    };
    r.go();
    EXPECT_EQ(r.count("connect", out), 1);
    EXPECT_FALSE(out->connectPending);

    ssock* lost = r.createTcp();
    EXPECT_EQ(r.connect(lost, "no-such-host.invalid", 80), -1);
    r.close(lost);
    delete lost;
}

TEST(AsockTest, DatagramRecordReadsSenderAndSurvivesEmptyDatagram)
{
    TestReactor r;
    Fds fds;
    ssock* u = r.createUdp();
    ASSERT_NE(u, nullptr);
    ASSERT_TRUE(r.listen(u, 0));
    ASSERT_TRUE(r.addSock(u));
    int c = fds.add(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to;
    PSFillAddrIn(&to, htonl(INADDR_LOOPBACK), htons(u->getPort()));
    ASSERT_EQ(sendto(c, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(sendto(c, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 4);
    std::string got;
    r.onRead = [&](ssock* s) {
        unsigned char buf[16];
        got.assign(reinterpret_cast<char*>(buf), s->getReBuff(buf, sizeof buf));
        char ip[16];
        s->getIp(ip);
        EXPECT_STREQ(ip, "127.0.0.1");
        EXPECT_EQ(s->getPort(), localPort(c));
        r.stop();
    };
    r.go();
    EXPECT_EQ(got, "ping");
    EXPECT_EQ(r.count("close"), 0);
    EXPECT_EQ(r.getSock(u->getSocket()), u);
}

// ---- event pass ---------------------------------------------------------------

TEST(AsockTest, WriteComesBeforeReadAndOnlyWhenPending)
{
    TestReactor r;
    Fds fds;
    int mine, peerA, peerB;
    makePair(fds, mine, peerA);
    ssock* pending = adopt(r, mine);
    makePair(fds, mine, peerB);
    ssock* quiet = adopt(r, mine);
    pending->writePending = true;
    ASSERT_EQ(::write(peerA, "a", 1), 1);
    ASSERT_EQ(::write(peerB, "b", 1), 1);
    r.fake = true;
    r.stopAfter = 2;
    r.go();
    std::vector<std::string> order;
    for (const Event& e : r.events)
        if (e.record == pending)
            order.push_back(e.what);
    EXPECT_EQ(order, (std::vector<std::string>{ "write", "read" }));
    EXPECT_FALSE(pending->writePending);
    EXPECT_EQ(r.count("write", quiet), 0);
    EXPECT_EQ(r.count("read", quiet), 1);
}

TEST(AsockTest, RecordClosedEarlierInPassGetsNothingAndItsNumberIsNotConfused)
{
    TestReactor r;
    Fds fds;
    int mine, peerA, peerB;
    makePair(fds, mine, peerA);
    ssock* a = adopt(r, mine);
    makePair(fds, mine, peerB);
    ssock* b = adopt(r, mine);
    ASSERT_LT(a->getSocket(), b->getSocket());
    int fdA = a->getSocket();
    int fdB = b->getSocket();
    ASSERT_EQ(::write(peerA, "a", 1), 1);
    ASSERT_EQ(::write(peerB, "b", 1), 1);

    // a's callback closes both, and new records take both numbers at once,
    // each with data already waiting.
    ssock* newA = nullptr;
    ssock* newB = nullptr;
    r.onRead = [&](ssock* s) {
        s->buffReCl();
        if (s != a)
            return;
        int freshA, peerNewA, freshB, peerNewB;
        makePair(fds, freshA, peerNewA);
        makePair(fds, freshB, peerNewB);
        r.close(a);
        r.close(b);
        ASSERT_EQ(dup2(freshA, fdA), fdA);
        ASSERT_EQ(dup2(freshB, fdB), fdB);
        ::close(freshA);
        ::close(freshB);
        newA = adopt(r, fdA);
        newB = adopt(r, fdB);
        ASSERT_EQ(::write(peerNewA, "x", 1), 1);
        ASSERT_EQ(::write(peerNewB, "y", 1), 1);
    };
    r.fake = true;
    r.stopAfter = 2;
    r.go();

    ASSERT_NE(newA, nullptr);
    ASSERT_NE(newB, nullptr);
    EXPECT_EQ(r.events.size(), 3u);
    EXPECT_EQ(r.count("read", a), 1);
    EXPECT_EQ(r.count("read", b) + r.count("close", b), 0);
    // The new records start with the next iteration and survive the deletion
    // of the records that held their numbers before.
    for (ssock* s : { newA, newB }) {
        EXPECT_EQ(r.count("read", s), 1);
        for (const Event& e : r.events)
            if (e.record == s) {
                EXPECT_EQ(e.iteration, 2);
            }
    }
    EXPECT_EQ(r.getSock(fdA), newA);
    EXPECT_EQ(r.getSock(fdB), newB);
}

TEST(AsockTest, ReadBufferFillsToTheEdgeThenEndsConnection)
{
    struct Case {
        unsigned short held;
        size_t sent;
        bool read;
        unsigned short after;
    };
    const Case cases[] = { { 0, 10240, true, 10240 }, { 10230, 20, true, 10240 }, { 10240, 1, false, 10240 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "held " << c.held << " sent " << c.sent);
        TestReactor r;
        Fds fds;
        int mine, peer;
        makePair(fds, mine, peer);
        ssock* s = adopt(r, mine);
        s->reResult = c.held;
        std::vector<unsigned char> data(c.sent, 0x5A);
        ASSERT_EQ(::write(peer, data.data(), data.size()), static_cast<ssize_t>(c.sent));
        unsigned short seen = 0;
        r.onRead = [&](ssock* x) { seen = x->getReBuff(nullptr, 0); };
        r.fake = true;
        r.stopAfter = 1;
        r.go();
        EXPECT_EQ(r.count("read", s), c.read ? 1 : 0);
        EXPECT_EQ(r.count("close", s), c.read ? 0 : 1);
        if (c.read) {
            EXPECT_EQ(seen, c.after);
            EXPECT_EQ(s->reBuff[10239], 0x5A);
        } else {
            EXPECT_EQ(s->getSocket(), -1);
        }
    }
}

TEST(AsockTest, RunReturnsAtOnceWhenFlagIsClear)
{
    TestReactor r;
    Fds fds;
    int mine, peer;
    makePair(fds, mine, peer);
    adopt(r, mine);
    ASSERT_EQ(::write(peer, "a", 1), 1);
    r.running = 0;
    r.go();
    EXPECT_EQ(r.iterations, 0);
    EXPECT_TRUE(r.events.empty());
}

TEST(AsockTest, FailedSelectEndsRun)
{
    TestReactor r;
    Fds fds;
    int mine, peer;
    makePair(fds, mine, peer);
    adopt(r, mine);
    r.fake = true;
    r.failWait = [] {
        errno = EBADF;
        return -1;
    };
    r.go();
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].what, "error");
    EXPECT_EQ(r.events[0].record, nullptr);
    EXPECT_EQ(r.events[0].error, EBADF);
    EXPECT_EQ(r.events[0].step, "select");
    EXPECT_EQ(r.iterations, 1);
}

unsigned char* gRunning = nullptr;
extern "C" void clearRunning(int)
{
    *gRunning = 0;
}

TEST(AsockTest, SignalStopsLoopThroughInterruptedSelect)
{
    TestReactor r;
    Fds fds;
    int mine, peer;
    makePair(fds, mine, peer);
    adopt(r, mine);
    gRunning = &r.running;
    struct sigaction action;
    struct sigaction previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = clearRunning;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer = {};
    timer.it_value.tv_usec = 30000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    r.go();
    sigaction(SIGALRM, &previous, nullptr);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].step, "select");
    EXPECT_EQ(r.events[0].error, EINTR);
    EXPECT_EQ(r.running, 0);
}

// A stop signal raised while a callback runs, just before the loop waits, must
// end that wait at once instead of going unseen until the wait expires.
TEST(AsockTest, WakeSignalRaisedBeforeTheWaitEndsIt)
{
    TestReactor r;
    Fds fds;
    int mine, peer;
    makePair(fds, mine, peer);
    adopt(r, mine);
    gRunning = &r.running;
    struct sigaction action;
    struct sigaction previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = clearRunning;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    r.wakeOn(SIGUSR1);
    r.guardMs = 3000; // no countdown is armed: without the fix the wait runs out here
    int flagInCallback = -1;
    r.onRead = [&](ssock* s) {
        s->buffReCl();
        raise(SIGUSR1);
        flagInCallback = r.running; // held back: the handler has not run yet
    };
    ASSERT_EQ(::write(peer, "x", 1), 1);
    const Clock::time_point start = Clock::now();
    r.go();
    const long long spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(flagInCallback, 1);
    EXPECT_EQ(r.running, 0);
    ASSERT_EQ(r.count("error"), 1);
    EXPECT_EQ(r.events.back().step, "select");
    EXPECT_EQ(r.events.back().error, EINTR);
    EXPECT_LT(spent, 2000); // ended by the signal, not by the guard
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, SIGUSR1)); // the mask is given back
}

// Out of descriptors, a pending connection stays queued and its listener stays
// readable; the listeners rest instead of spinning the loop.
TEST(AsockTest, ListenersRestWhenNoDescriptorIsLeft)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 5);
    int client = fds.add(tcpClient(l->getPort()));
    ASSERT_GE(client, 0);
    ssock* timer = adoptFresh(r, fds);
    int top = fds.add(open("/dev/null", O_RDONLY));
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(top + 1); // nothing left for accept
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    timer->setTimeout(500);
    r.onTimeout = [&](ssock*) { r.stop(); };
    r.go();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(r.count("accept"), 0);
    EXPECT_EQ(r.count("timeout"), 1);
    EXPECT_LT(r.iterations, 50) << "the loop spun on the readable listener";
    // With descriptors back, the queued connection is taken.
    r.onTimeout = nullptr;
    EXPECT_NE(acceptOne(r), nullptr);
}

// Urgent data sets the exception condition; it must be reported alone, once,
// and must not keep the loop spinning.
TEST(AsockTest, ExceptionConditionIsReportedAloneAndCleared)
{
    for (bool inline_ : { false, true }) {
        SCOPED_TRACE(inline_ ? "urgent byte inline" : "urgent byte out of band");
        TestReactor r;
        Fds fds;
        ssock* l = makeListener(r, 1);
        int c = fds.add(tcpClient(l->getPort()));
        ssock* a = acceptOne(r);
        ASSERT_NE(a, nullptr);
        if (inline_) {
            int on = 1;
            setsockopt(a->getSocket(), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
        }
        ASSERT_EQ(send(c, "abcx", 4, MSG_OOB), 4);
        ASSERT_TRUE(waitReadable(a->getSocket(), POLLPRI));
        int first = r.iterations + 1;
        std::string got;
        r.onRead = [&](ssock* s) {
            unsigned char buf[16];
            got.append(reinterpret_cast<char*>(buf), s->getReBuff(buf, sizeof buf));
            s->buffReCl();
            if (got.size() >= 3)
                r.stop();
        };
        r.onClose = [&](ssock*) { r.stop(); };
        a->setTimeout(300);
        r.onTimeout = [&](ssock*) { r.stop(); };
        r.again();

        ASSERT_GE(r.count("error", a), 1);
        EXPECT_EQ(r.count("error", a), 1);
        for (const Event& e : r.events) {
            if (e.what == "error") {
                EXPECT_EQ(e.iteration, first);
                EXPECT_EQ(e.error, 0);
                EXPECT_EQ(e.step, "select exceptfds");
            } else if (e.iteration == first) {
                EXPECT_NE(e.what, "read");
            }
        }
        EXPECT_LT(r.iterations - first, 10);
        if (inline_) {
            // The condition cannot be stepped past: the connection is ended.
            EXPECT_EQ(r.count("close", a), 1);
            EXPECT_EQ(a->getSocket(), -1);
        } else {
            EXPECT_EQ(got, "abc");
            EXPECT_EQ(r.count("close", a), 0);
        }
    }
}

// An exception condition and an expired countdown in the same wait: OnError alone
// in that iteration, the expiry in the next one unless the record went or its
// countdown was armed anew.
TEST(AsockTest, ExpiryMetByExceptionConditionComesInTheNextIteration)
{
    struct Case {
        const char* name;
        bool inline_;   // the condition cannot be stepped past: the record is closed
        bool disarm;    // OnError disarms the countdown
        int timeouts;
    };
    const Case cases[] = {
        { "ConditionCleared", false, false, 1 },
        { "RecordClosed", true, false, 0 },
        { "OnErrorDisarms", false, true, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestReactor r;
        Fds fds;
        ssock* l = makeListener(r, 1);
        int client = fds.add(tcpClient(l->getPort()));
        ssock* a = acceptOne(r);
        ASSERT_NE(a, nullptr);
        if (c.inline_) {
            int on = 1;
            setsockopt(a->getSocket(), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
        }
        ASSERT_EQ(send(client, "x", 1, MSG_OOB), 1);
        ASSERT_TRUE(waitReadable(a->getSocket(), POLLPRI));
        a->setTimeout(300);
        if (c.disarm)
            r.onError = [&](ssock* s, short, const char*) { s->setTimeout(0); };
        r.onClose = [&](ssock* s) { s->buffReCl(); };
        r.fake = true;
        r.activeStep = 300; // the wait that sees the condition also runs the countdown out
        r.stopAfter = r.iterations + 3;
        const int first = r.iterations + 1;
        r.again();

        ASSERT_EQ(r.count("error", a), 1);
        for (const Event& e : r.events) {
            if (e.record != a)
                continue;
            if (e.iteration == first) {
                EXPECT_TRUE(e.what == "error" || (c.inline_ && e.what == "close")) << e.what;
            }
            if (e.what == "timeout") {
                EXPECT_EQ(e.iteration, first + 1);
            }
        }
        EXPECT_EQ(r.count("timeout", a), c.timeouts);
        if (c.timeouts == 1) {
            // The held expiry only lets the next wait look.
            ASSERT_GE(r.waits.size(), 2u);
            EXPECT_EQ(r.waits[r.waits.size() - 2], 0u);
        }
        if (!c.inline_) { // else the record is gone
            EXPECT_EQ(a->timeout, 0u);
        }
    }
}

// ---- writing ------------------------------------------------------------------

TEST(AsockTest, WriteReportsNothingPendingAndFullSocket)
{
    TestReactor r;
    Fds fds;
    ssock* s = adoptFresh(r, fds);
    EXPECT_EQ(r.write(s), 0);
    EXPECT_FALSE(s->writePending);
    EXPECT_TRUE(r.events.empty());

    std::vector<unsigned char> chunk(4096, 1);
    while (::write(s->getSocket(), chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(s->setWrBuff(chunk.data(), 100), 100);
    EXPECT_EQ(r.write(s), -1);
    EXPECT_TRUE(s->writePending);
    EXPECT_EQ(s->getWrLen(), 100);
    EXPECT_TRUE(r.events.empty());
}

TEST(AsockTest, WriteToGonePeerReportsErrorAndProcessSurvives)
{
    signal(SIGPIPE, SIG_DFL);
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 1);
    int c = tcpClient(l->getPort());
    ssock* a = acceptOne(r);
    ASSERT_NE(a, nullptr);
    ::close(c);
    unsigned char data[64] = {};
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        a->setWrBuff(data, sizeof data);
        result = r.write(a);
        usleep(10000);
    }
    ASSERT_LT(result, 0);
    ASSERT_EQ(r.count("error", a), 1);
    const Event& e = r.events.back();
    EXPECT_EQ(e.step, "write");
    EXPECT_TRUE(e.error == EPIPE || e.error == ECONNRESET) << e.error;
}

// Bytes left behind by a write made in OnWrite must bring OnWrite again,
// until everything has gone out in order.
TEST(AsockTest, PendingBytesKeepWriteTurnsComing)
{
    TestReactor r;
    Fds fds;
    int mine, peer;
    makePair(fds, mine, peer);
    int small = 4096;
    setsockopt(mine, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ssock* w = adopt(r, mine);
    size_t prefill = 0;
    unsigned char zero[512] = {};
    ssize_t n;
    while ((n = ::write(mine, zero, sizeof zero)) > 0)
        prefill += static_cast<size_t>(n);
    std::vector<unsigned char> message(10240);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<unsigned char>(i % 251 + 1);
    ASSERT_EQ(w->setWrBuff(message.data(), 10240), 10240);
    EXPECT_EQ(r.write(w), -1);
    ASSERT_TRUE(w->writePending);

    // Another record's countdown drains the peer a little at a time.
    int tickFd, tickPeer;
    makePair(fds, tickFd, tickPeer);
    ssock* tick = adopt(r, tickFd);
    tick->setTimeout(5);
    std::vector<unsigned char> received;
    r.onWrite = [&](ssock* s) { r.write(s); };
    r.onTimeout = [&](ssock* s) {
        unsigned char buf[2048];
        ssize_t got = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (got > 0)
            received.insert(received.end(), buf, buf + got);
        if (received.size() >= prefill + message.size())
            r.stop();
        else
            s->setTimeout(5);
    };
    r.go();
    ASSERT_EQ(received.size(), prefill + message.size());
    EXPECT_TRUE(std::equal(message.begin(), message.end(), received.begin() + static_cast<long>(prefill)));
    EXPECT_EQ(w->getWrLen(), 0);
    EXPECT_GE(r.count("write", w), 2);
    EXPECT_EQ(r.count("error"), 0);
}

// ---- countdowns on an injected clock --------------------------------------------

TEST(AsockTest, CountdownsOnQuietWaits)
{
    struct Case {
        const char* name;
        std::vector<unsigned> armed;
        int iterations;
        std::vector<unsigned> waits;
        std::vector<int> fired; // indexes into armed, in firing order
    };
    const Case cases[] = {
        { "ShortestFirstOthersCarryOn", { 5000, 1000 }, 2, { 1000, 4000 }, { 1, 0 } },
        { "OneAndAHalfSeconds", { 1500 }, 2, { 1500, 3600000 }, { 0 } },
        { "OneHourExactly", { 3600000 }, 1, { 3600000 }, { 0 } },
        { "NoneArmedWaitsAnHour", { 0 }, 2, { 3600000, 3600000 }, {} },
        { "EqualCountdownsFireTogether", { 700, 700 }, 1, { 700 }, { 0, 1 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestReactor r;
        Fds fds;
        std::vector<ssock*> records;
        for (unsigned ms : c.armed) {
            int mine, peer;
            makePair(fds, mine, peer);
            records.push_back(adopt(r, mine));
            records.back()->setTimeout(ms);
        }
        std::vector<int> fired;
        r.onTimeout = [&](ssock* s) {
            for (size_t i = 0; i < records.size(); ++i)
                if (records[i] == s)
                    fired.push_back(static_cast<int>(i));
        };
        r.fake = true;
        r.stopAfter = c.iterations;
        r.go();
        EXPECT_EQ(r.waits, c.waits);
        EXPECT_EQ(fired, c.fired);
        if (std::string(c.name) == "ShortestFirstOthersCarryOn" || std::string(c.name) == "OneAndAHalfSeconds")
            for (ssock* s : records) {
                EXPECT_EQ(s->timeout, 0u);
            }
    }
}

TEST(AsockTest, CountdownLeftAfterFirstExpiry)
{
    TestReactor r;
    Fds fds;
    ssock* a = adoptFresh(r, fds);
    ssock* b = adoptFresh(r, fds);
    a->setTimeout(1000);
    b->setTimeout(5000);
    r.fake = true;
    r.stopAfter = 1;
    r.go();
    EXPECT_EQ(r.count("timeout", a), 1);
    EXPECT_EQ(r.count("timeout", b), 0);
    EXPECT_EQ(b->timeout, 4000u);
    EXPECT_EQ(a->timeout, 0u);
}

TEST(AsockTest, CallbackRearmsOrDisarmsCountdown)
{
    TestReactor r;
    Fds fds;
    ssock* a = adoptFresh(r, fds);
    a->setTimeout(100);
    int fired = 0;
    r.onTimeout = [&](ssock* s) {
        ++fired;
        s->setTimeout(fired < 3 ? 250 : 0);
    };
    r.fake = true;
    r.stopAfter = 4;
    r.go();
    EXPECT_EQ(r.waits, (std::vector<unsigned>{ 100, 250, 250, 3600000 }));
    EXPECT_EQ(fired, 3);
}

// Time spent on traffic counts: a busy neighbour must not postpone expiry.
TEST(AsockTest, CountdownAdvancesUnderTraffic)
{
    TestReactor r;
    Fds fds;
    int mine, busyPeer, quietPeer;
    makePair(fds, mine, busyPeer);
    ssock* busy = adopt(r, mine);
    makePair(fds, mine, quietPeer);
    ssock* waiting = adopt(r, mine);
    waiting->setTimeout(300);
    ASSERT_EQ(::write(busyPeer, "m", 1), 1);
    r.onRead = [&](ssock* s) {
        s->buffReCl();
        ASSERT_EQ(::write(busyPeer, "m", 1), 1);
    };
    r.onTimeout = [&](ssock*) { r.stop(); };
    r.fake = true;
    r.activeStep = 50;
    r.stopAfter = 50;
    unsigned long long start = r.clock;
    r.go();
    ASSERT_EQ(r.count("timeout", waiting), 1);
    EXPECT_EQ(r.clock - start, 300u);
    EXPECT_EQ(r.count("read", busy), 6);
}

// Time spent in callbacks before a countdown is armed is not charged to it: it never
// runs out before its full length after the arming, and is late by at most the
// callbacks of one pass.
TEST(AsockTest, CountdownArmedInsideCallbackCountsFromItsArming)
{
    struct Case {
        const char* name;
        unsigned spentBefore; // clock moved by the callbacks before the arming
        unsigned length;
        unsigned readStep;    // 0: no traffic after the arming; else each read moves the clock so far
    };
    const Case cases[] = {
        { "BusyNeighbourAfterSlowCallbacks", 200, 300, 50 },
        { "BusyNeighbourCallbacksLongerThanTheCountdown", 500, 300, 50 },
        { "QuietAfterSlowCallbacks", 200, 300, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestReactor r;
        Fds fds;
        int mine, busyPeer, quietPeer;
        makePair(fds, mine, busyPeer);
        ssock* busy = adopt(r, mine);
        makePair(fds, mine, quietPeer);
        ssock* waiting = adopt(r, mine);
        ASSERT_EQ(::write(busyPeer, "m", 1), 1);
        unsigned long long armedAt = 0;
        unsigned long long firedAt = 0;
        r.onRead = [&](ssock* s) {
            s->buffReCl();
            if (armedAt == 0) {
                r.clock += c.spentBefore;
                waiting->setTimeout(c.length);
                armedAt = r.clock;
            } else {
                r.clock += c.readStep;
            }
            if (c.readStep != 0) {
                ASSERT_EQ(::write(busyPeer, "m", 1), 1);
            }
        };
        r.onTimeout = [&](ssock* s) {
            if (s == waiting && firedAt == 0) {
                firedAt = r.clock;
                r.stop();
            }
        };
        r.fake = true;
        r.stopAfter = 100;
        r.go();
        ASSERT_NE(firedAt, 0u) << "countdown never fired";
        EXPECT_EQ(r.count("timeout", waiting), 1);
        EXPECT_GE(firedAt - armedAt, c.length) << "fired early";
        EXPECT_LE(firedAt - armedAt, c.length + c.readStep) << "late by more than one pass";
        EXPECT_GE(r.count("read", busy), 1);
    }
}

// A record whose answer arrives in the same iteration as its expiry.
TEST(AsockTest, ExpiryMeetsActivityInSameIteration)
{
    enum Action { NOTHING, DISARM, REARM, CLOSE };
    struct Case {
        const char* name;
        Action action;
        bool fires;
    };
    const Case cases[] = {
        { "AnswerLeavesCountdown", NOTHING, true },
        { "AnswerDisarms", DISARM, false },
        { "AnswerRearms", REARM, false },
        { "AnswerCloses", CLOSE, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestReactor r;
        Fds fds;
        int mine, peer;
        makePair(fds, mine, peer);
        ssock* s = adopt(r, mine);
        s->setTimeout(300);
        ASSERT_EQ(::write(peer, "answer", 6), 6);
        r.onRead = [&](ssock* x) {
            x->buffReCl();
            if (c.action == DISARM)
                x->setTimeout(0);
            else if (c.action == REARM)
                x->setTimeout(5000);
            else if (c.action == CLOSE)
                r.close(x);
        };
        r.fake = true;
        r.activeStep = 300;
        r.stopAfter = 1;
        r.go();
        ASSERT_GE(r.events.size(), 1u);
        EXPECT_EQ(r.events[0].what, "read");
        EXPECT_EQ(r.count("timeout", s), c.fires ? 1 : 0);
        if (c.fires) {
            EXPECT_EQ(r.events.back().what, "timeout");
        }
        if (c.action == REARM) {
            EXPECT_EQ(s->timeout, 5000u);
        }
    }
}

TEST(AsockTest, CountdownOfRecordClosedByEarlierExpiryDoesNotFire)
{
    TestReactor r;
    Fds fds;
    ssock* a = adoptFresh(r, fds);
    ssock* b = adoptFresh(r, fds);
    a->setTimeout(100);
    b->setTimeout(100);
    r.onTimeout = [&](ssock* s) {
        if (s == a)
            r.close(b);
    };
    r.fake = true;
    r.stopAfter = 1;
    r.go();
    EXPECT_EQ(r.count("timeout", a), 1);
    EXPECT_EQ(r.count("timeout", b), 0);
}

TEST(AsockTest, EmptyReactorNapsAndTicksWithDefaultTimeout)
{
    struct Case {
        unsigned dfTimeout;
        unsigned wait;
        int ticks;
    };
    const Case cases[] = { { 0, 1000, 0 }, { 250, 250, 2 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dfTimeout);
        TestReactor r;
        r.setDfTimeout(c.dfTimeout);
        r.fake = true;
        r.stopAfter = 2;
        r.go();
        EXPECT_EQ(r.waits, (std::vector<unsigned>{ c.wait, c.wait }));
        EXPECT_EQ(r.count("timeout"), c.ticks);
        for (const Event& e : r.events) {
            EXPECT_EQ(e.record, nullptr);
        }
    }
    // The real nap is short and ends in a tick too.
    TestReactor r;
    r.setDfTimeout(20);
    r.onTimeout = [&](ssock*) { r.stop(); };
    Clock::time_point start = Clock::now();
    r.go();
    EXPECT_EQ(r.count("timeout"), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

// ---- countdowns on the real clock ---------------------------------------------

TEST(AsockTest, RealCountdownFiresWhileAnotherConnectionIsBusy)
{
    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 2);
    int busyClient = fds.add(tcpClient(l->getPort()));
    ssock* busy = acceptOne(r);
    fds.add(tcpClient(l->getPort()));
    ssock* waiting = acceptOne(r);
    ASSERT_NE(busy, nullptr);
    ASSERT_NE(waiting, nullptr);

    std::atomic<bool> done(false);
    std::thread sender([&] {
        for (int i = 0; i < 60 && !done; ++i) {
            send(busyClient, "msg", 3, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    int readsBefore = -1;
    Clock::time_point armed = Clock::now();
    Clock::time_point fired;
    waiting->setTimeout(300);
    r.onTimeout = [&](ssock* s) {
        if (s != waiting)
            return;
        fired = Clock::now();
        readsBefore = r.count("read", busy);
        r.stop();
    };
    r.again();
    done = true;
    sender.join();

    ASSERT_GE(readsBefore, 0) << "countdown never fired";
    EXPECT_GE(readsBefore, 3);
    EXPECT_GE(fired - armed, std::chrono::milliseconds(299));
    // Fired while the traffic was still going (it lasts three seconds).
    EXPECT_LT(fired - armed, std::chrono::milliseconds(2500));
}

// ---- descriptors --------------------------------------------------------------

TEST(AsockTest, DescriptorZeroIsAnOrdinarySocket)
{
    int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    struct Restore {
        int saved;
        ~Restore()
        {
            dup2(saved, 0);
            ::close(saved);
        }
    } restore{ savedStdin };

    TestReactor r;
    Fds fds;
    ssock* l = r.createTcp();
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->getSocket(), 0);
    ASSERT_TRUE(r.listen(l, 0));
    l->setAccept(1);
    ASSERT_TRUE(r.addSock(l));
    fds.add(tcpClient(l->getPort()));
    r.onAccept = [&](ssock* s) {
        r.addSock(s);
        r.close(l);
        r.stop();
    };
    r.go();
    ASSERT_EQ(r.count("accept"), 1);
    EXPECT_FALSE(isOpen(0));
    EXPECT_EQ(r.getSock(0), nullptr);

    // Deleted at the top of the next iteration; the number serves again.
    r.stopAfter = r.iterations + 1;
    r.again();
    ssock* next = r.createTcp();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->getSocket(), 0);
    EXPECT_TRUE(r.addSock(next));
    EXPECT_EQ(r.getSock(0), next);
    r.close(next);
    EXPECT_FALSE(isOpen(0));
}

TEST(AsockTest, DescriptorsSelectCannotWatchAreRefused)
{
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < FD_SETSIZE + 64)
        GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = old;
    if (raised.rlim_cur == RLIM_INFINITY || raised.rlim_cur < FD_SETSIZE + 64)
        raised.rlim_cur = FD_SETSIZE + 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    char dir[] = "/tmp/asock_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setpath((std::string(dir) + "/log%s.txt").c_str());

    TestReactor r;
    Fds fds;
    ssock* l = makeListener(r, 5);
    int client = fds.add(socket(AF_INET, SOCK_STREAM, 0));
    int spare = fds.add(open("/dev/null", O_RDONLY));
    int high = -1;
    {
        // Fill every number below the limit, so the next socket lands above it.
        Fds fillers;
        int fd;
        while ((fd = dup(spare)) >= 0 && fd < FD_SETSIZE)
            fillers.add(fd);
        ASSERT_EQ(fd, FD_SETSIZE);
        high = fd;
        ::close(fd);

        EXPECT_EQ(r.createTcp(), nullptr);
        EXPECT_FALSE(isOpen(high));

        sockaddr_in to;
        PSFillAddrIn(&to, htonl(INADDR_LOOPBACK), htons(l->getPort()));
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        l->setTimeout(100);
        r.onTimeout = [&](ssock*) { r.stop(); };
        r.go();
        EXPECT_EQ(r.count("accept"), 0);
        EXPECT_EQ(l->getAccept(), 0);
        EXPECT_FALSE(isOpen(high));
        char byte;
        ASSERT_TRUE(waitReadable(client));
        EXPECT_LE(recv(client, &byte, 1, 0), 0);
    }

    int far = fds.add(dup2(spare, FD_SETSIZE + 10));
    ASSERT_EQ(far, FD_SETSIZE + 10);
    ssock stray;
    stray.setSocket(far);
    EXPECT_FALSE(r.addSock(&stray));
    EXPECT_EQ(r.getSock(far), nullptr);
    setrlimit(RLIMIT_NOFILE, &old);

    std::string logged;
    DIR* d = opendir(dir);
    ASSERT_NE(d, nullptr);
    while (dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string path = std::string(dir) + "/" + entry->d_name;
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        logged += text.str();
        unlink(path.c_str());
    }
    closedir(d);
    rmdir(dir);
    setpath("");
    int errLines = 0;
    std::istringstream lines(logged);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" : ERR: ") != std::string::npos)
            ++errLines;
    EXPECT_EQ(errLines, 3) << logged;
}

TEST(AsockTest, DelSockAndDestructorCloseWhatTheyDelete)
{
    Fds fds;
    int mine, peer, kept;
    {
        TestReactor r;
        makePair(fds, mine, peer);
        adopt(r, mine);
        r.delSock(mine);
        EXPECT_EQ(r.getSock(mine), nullptr);
        EXPECT_FALSE(isOpen(mine));
        makePair(fds, kept, peer);
        adopt(r, kept);
        ssock dup;
        dup.setSocket(kept);
        EXPECT_FALSE(r.addSock(&dup));
        EXPECT_TRUE(r.addSock(r.getSock(kept)));
    }
    EXPECT_FALSE(isOpen(kept));
}

} // namespace
