// The PIN pad's own log: one line per event, the milliseconds since the log was opened
// first, flushed at once so that a test can read it while the PIN pad runs.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace pinpad {

class TraceLog {
public:
    explicit TraceLog(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}
    void line(const std::string& text);

private:
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace pinpad
