// The server's answer is untrusted bytes for the plug-in: decode it as the exchange
// does (UTF-8 up to the first NUL) and build the result record and its slips for
// every operation the plug-in carries out.

#include <cstdint>
#include <cstring>
#include <string>

#include <QString>

#include "VantrelPaymentProcessing.h"
#include "scratch.h"

namespace {

// Payment, refund, cancellation and totals: the last one prints a single slip.
const char* const TYPES[] = {"0200000000", "0200200000", "0400000000", "0520000000"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string& scratch = fuzzScratch::enter();
    (void)scratch;
    VantrelPaymentProcessing plugin(nullptr);

    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = size ? memchr(text, 0, size) : nullptr;
    const int length = static_cast<int>(nul ? static_cast<const char*>(nul) - text : size);
    const QString xml = QString::fromUtf8(text, length);
    for (const char* type : TYPES)
        plugin.parseResultXml(xml, QString::fromLatin1(type));
    return 0;
}
