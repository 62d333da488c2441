#ifndef DORVISH_SSOCK_H
#define DORVISH_SSOCK_H

#include <netinet/in.h>

// One socket record of the reactor. A plain structure: the reactor opens,
// closes and deletes records and writes their fields directly; the owner of
// the reactor uses the accessors and keeps its own data behind sockState.
class ssock {
public:
    static constexpr unsigned short BUFF_SIZE = 10240;

    ssock();
    ~ssock();

    int getSocket() const;
    void setSocket(int fd);
    unsigned short getType() const;
    void setType(unsigned short role);
    unsigned short getMaxLen() const;
    unsigned short getWrResult() const;
    unsigned short getReResult() const;

    // Appends to the write buffer after moving unsent bytes to the front;
    // returns length, or 0 when the message does not fit whole.
    unsigned short setWrBuff(const unsigned char* data, unsigned short length);
    // Bytes placed but not sent yet.
    unsigned short getWrLen() const;
    // With max 0 only tells how many bytes are held; never consumes them.
    unsigned short getReBuff(unsigned char* out, unsigned short max) const;
    void buffReCl();
    void buffWrCl();

    // Arms the countdown ms from now; 0 disarms.
    void setTimeout(unsigned ms);
    void setAccept(unsigned short n);
    unsigned short getAccept() const;

    // out must hold 16 bytes.
    void getIp(char* out) const;
    unsigned short getPort() const;
    ssock* getParent() const;
    void setState(void* state);
    void* getState() const;

    // Leaves destAddr alone and returns false when host does not resolve.
    bool setDestAddr(const char* host, unsigned short port);
    // Splits "host:port" at the first colon; false (and nothing written) when
    // there is none. host and port must each hold strlen(text) + 1 bytes.
    bool parsIpPort(const char* text, char* host, char* port) const;

    int sock;                  // -1: no socket
    sockaddr_in destAddr;
    short sockKind;            // 1 stream, 2 datagram
    unsigned short type;       // 1 listening, 2 accepted, 3 outgoing
    bool connectPending;
    bool writePending;
    unsigned short acceptLimit;
    unsigned short acceptCount;
    unsigned short wrLen;
    unsigned short wrResult;
    unsigned short reResult;
    unsigned int timeout;      // ms left; 0: not armed
    ssock* parent;
    unsigned char reBuff[BUFF_SIZE];
    unsigned char wrBuff[BUFF_SIZE];
    void* sockState;

    // Registration mark: a new one each time the record is registered, so an
    // event seen for an earlier record under the same descriptor is never
    // taken for this one. 0: never registered.
    unsigned long long gen;
    // Bumped by every setTimeout, so the reactor can tell that a countdown
    // was re-armed or disarmed while its expiry was pending.
    unsigned int timeoutSeq;
    // The reactor's own view of the countdown: the absolute monotonic time (ms)
    // at which it runs out, valid while deadlineSeq equals timeoutSeq. A
    // countdown armed since the reactor last looked gets its deadline at the
    // reactor's next look, which is never before the arming.
    unsigned long long deadline;
    unsigned int deadlineSeq;
};

#endif
