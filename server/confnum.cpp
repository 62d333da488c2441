#include "confnum.h"

#include <climits>
#include <cstdlib>

int32_t confNumber(const std::string& text)
{
    long long v = strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}
