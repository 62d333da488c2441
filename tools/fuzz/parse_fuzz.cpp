// Terminal answers are untrusted bytes: parse them and read the result the way the
// answer builder does, with its fixed 256-byte buffers.

#include <cstdint>
#include <cstring>
#include <vector>

#include "epmess.h"
#include "log.h"

namespace {

epmess& codec()
{
    static epmess* c = [] {
        setpath("/dev/null");
        epmess* e = new epmess;
        e->logLevel = 4; // every traffic line is built and written
        return e;
    }();
    return *c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    epmess& c = codec();
    const std::vector<unsigned char> in(data, data + size);
    c.inContainer = false;
    c.parsMessage(in);

    char buf[256];
    for (const auto& kv : c.responseFields) {
        memset(buf, 0, sizeof buf);
        c.getField(kv.first, buf);
    }
    memset(buf, 0, sizeof buf);
    c.getField(0x89, buf);
    c.maskCard(buf);
    c.getCardType(buf);
    return 0;
}
