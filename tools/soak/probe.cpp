#include "probe.h"

#include <cstring>
#include <dirent.h>
#include <string>

long countDescriptors(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    long n = 0;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ++n;
    closedir(d);
    return n;
}

namespace {

template <typename Get>
double mean(const std::vector<Sample>& samples, long long fromMs, long long toMs, Get get)
{
    double sum = 0;
    long n = 0;
    for (const Sample& s : samples)
        if (s.ms >= fromMs && s.ms <= toMs && get(s) >= 0) {
            sum += static_cast<double>(get(s));
            ++n;
        }
    return n ? sum / static_cast<double>(n) : -1;
}

}  // namespace

double meanDescriptors(const std::vector<Sample>& samples, long long fromMs, long long toMs)
{
    return mean(samples, fromMs, toMs, [](const Sample& s) { return s.descriptors; });
}

double meanRss(const std::vector<Sample>& samples, long long fromMs, long long toMs)
{
    return mean(samples, fromMs, toMs, [](const Sample& s) { return s.rssKb; });
}
