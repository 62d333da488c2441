#ifndef DORVISH_ASOCK_H
#define DORVISH_ASOCK_H

#include <signal.h>
#include <sys/select.h>

#include <map>
#include <vector>

#include "ssock.h"

// Single-threaded select reactor. It owns every registered record and reports
// events through the virtual callbacks, socket by socket in ascending
// descriptor order.
class asock {
public:
    asock();
    virtual ~asock();

    // Receives a record not yet registered: addSock it, or close and free it.
    virtual void OnAccept(ssock* accepted) = 0;
    virtual void OnConnect(ssock* record) = 0;
    virtual void OnRead(ssock* record) = 0;
    virtual void OnWrite(ssock* record) = 0;
    // The peer closed or the read failed; the record is closed right after.
    virtual void OnClose(ssock* record);
    // Null record: idle tick of an empty reactor with a default timeout.
    virtual void OnTimeout(ssock* record) = 0;
    // step: "select" (null record; the loop ends), "select exceptfds" (error
    // 0) or "write".
    virtual void OnError(ssock* record, short error, const char* step) = 0;

    // Null on failure, and for a descriptor that select cannot watch.
    ssock* create(short kind);
    ssock* createTcp();
    ssock* createUdp();
    // Port 0 binds an ephemeral port, which the record then reports.
    bool listen(ssock* record, unsigned short port);
    // 1 connected, 0 in progress, -1 failure.
    int connect(ssock* record, const char* host, unsigned short port);
    ssock* accept(ssock* listener);
    int read(ssock* record);
    // Sends the unsent bytes once; with nothing pending returns 0 and sends
    // nothing.
    int write(ssock* record);
    // true: the reactor owns the record. false: refused (no socket, a
    // descriptor select cannot watch, or the number is taken by another
    // record); the caller keeps it.
    bool addSock(ssock* record);
    // Closes the socket now; a registered record is deleted at the top of the
    // next iteration and gets no further callback before that.
    void close(ssock* record);
    void clearSock();
    void delSock(int descriptor);
    ssock* getSock(int descriptor);
    void setDfTimeout(unsigned ms);
    // The owner stops the loop from a handler of this signal. It is held back while
    // the loop works and let through only inside the wait, so a signal that comes
    // just before a wait ends that wait instead of going unseen until it expires.
    void wakeOn(int signal);
    // Returns when *running is 0 at the top of an iteration, or after select
    // fails. *running may be cleared by a signal handler.
    void run(const unsigned char* running);

protected:
    // Monotonic milliseconds; countdowns run out at deadlines on this clock.
    virtual unsigned long long now();
    // Waits at most ms for the sets (select); with nfds 0 it only sleeps.
    virtual int waitEvents(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, unsigned ms);

private:
    struct ready {
        int fd;
        ssock* record;
        unsigned long long gen;
    };
    struct expiry {
        int fd;
        ssock* record;
        unsigned long long gen;
        unsigned int seq;
    };

    bool live(int fd, ssock* record, unsigned long long gen) const;
    unsigned long long deadlineOf(ssock* record, unsigned long long at);
    void charge(unsigned long long at, std::vector<expiry>& expired);
    void handleException(ssock* record);
    void handleListener(ssock* listener);
    bool acceptPaused(unsigned long long at) const;
    void destroy(ssock* record);
    void discard(ssock* record);

    std::map<int, ssock*> socks;
    std::vector<ssock*> closed;
    unsigned dfTimeout;
    unsigned long long nextGen;
    // Out of descriptors, a pending connection cannot be taken and keeps its
    // listener readable: listeners rest until then instead of spinning the loop.
    unsigned long long acceptRestUntil;
    int wakeSignal;
    sigset_t waitMask; // the mask inside the wait while wakeSignal is held back
};

#endif
