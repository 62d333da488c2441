// Loopback TCP pieces the benchmark and the soak both use: ports to give the daemon,
// and the client side of a connection to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Ports that were free a moment ago, all different, appended to `ports`.
bool freePorts(unsigned count, std::vector<uint16_t>& ports);

// A TCP socket with Nagle off, so that small requests go out at once; -1 with errno set.
int loopbackSocket();

// Connects `fd` to 127.0.0.1:`port`; false with errno set.
bool connectLoopback(int fd, uint16_t port);

// Writes all of `data`, retrying interrupted and short writes; false with errno set.
bool sendAll(int fd, const std::string& data);
