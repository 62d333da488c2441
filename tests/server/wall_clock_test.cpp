// The server core's reading of the wall clock: trace numbers made after January 2038.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/scoped_tz.h"
#include "work_peer.h"

namespace {

// A server core whose wall clock stands at a moment the test picks.
class wallClockedWork : public work {
public:
    struct timeval at = {};

protected:
    struct timeval wallNow() override { return at; }
};

TEST(WallClock, TraceNumbersPast2038)
{
    struct traceCase {
        const char* zone;
        long long seconds;
        long micros;
        uint32_t trace;
        const char* logged;
    };
    const traceCase cases[] = {
        {"UTC0", 2147483648LL, 5000, 31408005u, "getTraceTime: 031408\n"},  // past a 32-bit time_t
        {"UTC0", 2214131696LL, 999999, 123456999u, "getTraceTime: 123456\n"},
        {"MSK-3", 2214167400LL, 250000, 13000250u, "getTraceTime: 013000\n"}, // 22:30 UTC
    };
    for (const traceCase& c : cases) {
        SCOPED_TRACE(c.trace);
        ScopedTz tz(c.zone);
        scratchDir dir;
        wallClockedWork core;
        core.at.tv_sec = static_cast<time_t>(c.seconds);
        core.at.tv_usec = c.micros;
        EXPECT_EQ(c.trace, core.getTrace());
        EXPECT_TRUE(dir.log().find(c.logged) != std::string::npos) << dir.log();
    }
}

}  // namespace
