// A terminal read is unwrapped from both frames; whatever is accepted must encode back
// to the same bytes.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "eposp.h"
#include "epost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<unsigned char> read(data, data + size);
    epost outer;
    eposp inner;
    std::vector<unsigned char> work;

    read >> outer;
    if (!outer.payload.empty()) {
        std::vector<unsigned char> again;
        again << outer;
        if (again != read)
            abort();
    }
    outer >> work;

    work >> inner;
    if (!inner.payload.empty()) {
        std::vector<unsigned char> again;
        again << inner;
        // Bytes 0 and 1 of the inner length are not examined on the way in.
        if (again.size() != work.size() || !std::equal(again.begin() + 2, again.end(), work.begin() + 2))
            abort();
    }
    // The same bytes decoded as an inner frame alone.
    read >> inner;
    return 0;
}
