#include "fleet.h"

#include <cstdio>

#include "cashclient.h"

Fleet::Fleet(const std::vector<uint16_t>& ports, const std::vector<TerminalPlan>& plans, const std::string& dir)
{
    for (size_t i = 0; i < ports.size() && i < plans.size(); ++i) {
        auto pad = std::make_unique<Pad>();
        pad->path = dir + "/terminal-" + std::to_string(i + 1) + ".log";
        pad->port = ports[i];
        pad->script = std::make_unique<pinpad::Script>();
        std::string error;
        // The checks read the plan, so a PIN pad that does not follow it would void them.
        for (const std::string& rule : plans[i].rules())
            if (!pad->script->addRule(rule, error) && ruleError_.empty())
                ruleError_ = "terminal " + std::to_string(i + 1) + ": rule refused: " + error;
        pads_.push_back(std::move(pad));
    }
}

Fleet::~Fleet()
{
    stop();
    for (auto& pad : pads_) {
        pad->link.reset();
        if (pad->file)
            std::fclose(pad->file);
    }
}

bool Fleet::start(std::string& error)
{
    if (thread_.joinable())
        return true;
    if (!ruleError_.empty()) {
        error = ruleError_;
        return false;
    }
    if (links_.empty()) {
        for (auto& pad : pads_) {
            pad->file = std::fopen(pad->path.c_str(), "w");
            if (!pad->file) {
                error = "cannot write " + pad->path;
                return false;
            }
            // Taken just before the log's own clock starts, so both count from the same moment.
            pad->startMs = monotonicMs();
            pad->log = std::make_unique<pinpad::TraceLog>(pad->file);
            pad->terminal = std::make_unique<pinpad::Terminal>(*pad->script, pinpad::Identity(), pad->log.get());
            pinpad::LinkOptions o;
            o.port = pad->port;
            pad->link = std::make_unique<pinpad::Link>(o, *pad->terminal, pad->log.get());
            links_.push_back(pad->link.get());
        }
    }
    stop_.store(false);
    thread_ = std::thread([this] { pinpad::runLinks(links_, stop_); });
    return true;
}

void Fleet::stop()
{
    if (!thread_.joinable())
        return;
    stop_.store(true);
    thread_.join();
}

void Fleet::approveAll(unsigned number)
{
    if (thread_.joinable() || number == 0 || number > pads_.size())
        return;
    std::string error;
    for (const char* rule : {"*=approve", "PUR=approve", "REF=approve", "AUT=approve", "VOI=approve", "PNG=approve"})
        pads_[number - 1]->script->addRule(rule, error);
}
