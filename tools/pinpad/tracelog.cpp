#include "tracelog.h"

namespace pinpad {

void TraceLog::line(const std::string& text)
{
    if (!out_)
        return;
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "%lld %s\n", ms, text.c_str());
    std::fflush(out_);
}

}  // namespace pinpad
