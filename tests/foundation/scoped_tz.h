#ifndef SCOPED_TZ_H
#define SCOPED_TZ_H

#include <time.h>

#include <cstdlib>
#include <string>

// A time zone given as a POSIX rule for one scope, so that no zone file of the machine
// is needed; the zone before it comes back at the end.
struct ScopedTz {
    std::string before;
    bool had;
    explicit ScopedTz(const char* zone) : had(std::getenv("TZ") != nullptr)
    {
        if (had)
            before = std::getenv("TZ");
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (had)
            setenv("TZ", before.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

#endif
