// The soak's simulated PIN pads: one per terminal port, all on one poll thread, each
// following its plan and writing its event log to a file of its own for the checks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link.h"
#include "plan.h"

class Fleet {
public:
    // Terminal i + 1 connects to ports[i] and logs to dir/terminal-<i+1>.log.
    Fleet(const std::vector<uint16_t>& ports, const std::vector<TerminalPlan>& plans, const std::string& dir);
    ~Fleet();

    bool start(std::string& error);  // false when a rule was refused or a log file cannot be opened
    void stop();                     // the connections stay open

    // While stopped: terminal `number` approves everything from now on.
    void approveAll(unsigned number);

    const std::string& logPath(unsigned number) const { return pads_[number - 1]->path; }
    // The steady-clock milliseconds (as monotonicMs counts them) at which the log's clock started.
    long long logStartMs(unsigned number) const { return pads_[number - 1]->startMs; }
    size_t size() const { return pads_.size(); }

private:
    struct Pad {
        std::string path;
        uint16_t port = 0;
        std::FILE* file = nullptr;
        long long startMs = 0;
        std::unique_ptr<pinpad::Script> script;
        std::unique_ptr<pinpad::TraceLog> log;
        std::unique_ptr<pinpad::Terminal> terminal;
        std::unique_ptr<pinpad::Link> link;
    };
    std::vector<std::unique_ptr<Pad>> pads_;
    std::vector<pinpad::Link*> links_;
    std::string ruleError_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
