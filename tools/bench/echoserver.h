// The floor of the benchmark: a loopback server that greets like dorvish and sends
// every read straight back, so the client's own cost can be told from the daemon's.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class EchoServer {
public:
    EchoServer() = default;
    ~EchoServer() { stop(); }
    bool start();  // on a free loopback port
    void stop();
    uint16_t port() const { return port_; }

private:
    void loop();

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
