// The TCP side of simulated PIN pads: each link connects to its terminal port, feeds its
// Terminal and writes what falls due, and connects again after the connection ends.
// Many links share one poll loop, so a test or the benchmark can run 99 PIN pads in one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "terminal.h"

namespace pinpad {

struct LinkOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    int retryMs = 200;       // pause before connecting again
    bool once = false;       // end after the first connection instead of connecting again
    int unsolicitedMs = -1;  // see Terminal::connected
};

class Link {
public:
    Link(const LinkOptions& options, Terminal& terminal, TraceLog* log = nullptr);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool finished() const { return finished_; }
    bool isConnected() const { return state_ == State::Connected; }

    // Poll-loop hooks: the descriptor and events to wait for (fd -1 for none), the time
    // of the next thing to do, and the work after poll returned.
    void prepare(int& fd, short& events, TimePoint& wake, TimePoint now);
    void service(short revents, TimePoint now);

    void shutdown();

private:
    enum class State { Idle, Connecting, Connected };
    void startConnect(TimePoint now);
    void connectedNow(TimePoint now);
    void drop(TimePoint now, const char* why);
    void flush(TimePoint now);
    void log(const std::string& text);

    LinkOptions options_;
    Terminal& terminal_;
    TraceLog* log_;
    int fd_ = -1;
    State state_ = State::Idle;
    TimePoint nextTry_{};
    bool finished_ = false;
    bool failLogged_ = false;
    std::string out_;
};

// Runs the links until `stop` is set or every link has finished.
void runLinks(const std::vector<Link*>& links, const std::atomic<bool>& stop);

}  // namespace pinpad
