// What the soak watches of the running daemon from outside: its open descriptors and
// resident memory, read from /proc (whether it still runs: processAlive in daemon.h).
#pragma once

#include <sys/types.h>
#include <vector>

struct Sample {
    long long ms = 0;
    long descriptors = -1;
    long rssKb = -1;
};

// -1 when the process is gone.
long countDescriptors(pid_t pid);

// The mean of the samples in [fromMs, toMs] that could be read; -1 when there are none.
double meanDescriptors(const std::vector<Sample>& samples, long long fromMs, long long toMs);
double meanRss(const std::vector<Sample>& samples, long long fromMs, long long toMs);
