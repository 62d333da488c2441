#ifndef DORVISH_PSNIX_H
#define DORVISH_PSNIX_H

// Thin POSIX layer under the reactor: each call maps onto one system call and
// returns its result unchanged (-1 with the cause in PSGetLastError()).

#include <netdb.h>
#include <netinet/in.h>

// Platform start-up data. POSIX needs none; the type exists so that callers
// stay the same on platforms whose socket layer must be initialised.
struct PS_INFO {
};

void PSInit(PS_INFO* info);
int PSStartUp(PS_INFO* info);
void PSCleanup();

// Null when the name does not resolve.
hostent* PSGetHostByName(const char* name);
// The port is stored as given: callers pass network order.
sockaddr_in* PSFillAddrIn(sockaddr_in* addr, hostent* host, unsigned short port);
sockaddr_in* PSFillAddrIn(sockaddr_in* addr, unsigned int address, unsigned short port);

// Non-blocking, address reuse and TCP keep-alive (idle 120 s, interval 60 s,
// 2 probes); failures are ignored, the socket is then used as it is.
void PSNonBlock(int fd);

int PSConnect(int fd, sockaddr_in* addr, unsigned short length);
int PSBind(int fd, sockaddr_in* addr, unsigned short length);
int PSList(int fd);
int PSAccept(int fd, sockaddr_in* addr, int* length);
int PSRecv(int fd, unsigned char* buf, unsigned short n);
int PSRecvFrom(int fd, unsigned char* buf, unsigned short n, sockaddr_in* from, int* length);
// Stream sends never raise SIGPIPE: a peer that has gone is an EPIPE result,
// not the death of the daemon.
int PSSend(int fd, unsigned char* buf, unsigned short n);
int PSSendTo(int fd, unsigned char* buf, unsigned short n, sockaddr_in* to, int length);
int PSShutdown(int fd, short how);
int PSClose(int fd);
int PSGetLastError();
// n is in microseconds.
int PSSleep(unsigned n);
// Addresses of this machine's own host name; a null out only counts them.
int PSGetHostIp(in_addr* out, short max);

#endif
