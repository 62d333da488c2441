#include "frame.h"

#include <cstdint>

namespace pinpad {

std::string encodeFrame(const std::string& tlv)
{
    const uint32_t n = static_cast<uint32_t>(tlv.size());
    const uint32_t outer = n + 4;
    std::string out;
    out.push_back(static_cast<char>((outer >> 8) & 0xFF));
    out.push_back(static_cast<char>(outer & 0xFF));
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return out + tlv;
}

FrameStatus takeFrame(std::string& buffer, std::string& tlv)
{
    auto byteAt = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(buffer[i])); };
    if (buffer.size() < 6)
        return FrameStatus::Incomplete;
    const uint32_t outer = byteAt(0) << 8 | byteAt(1);
    const uint32_t inner = byteAt(2) << 24 | byteAt(3) << 16 | byteAt(4) << 8 | byteAt(5);
    if (outer < 4 || inner != outer - 4)
        return FrameStatus::Bad;
    if (buffer.size() < 2 + outer)
        return FrameStatus::Incomplete;
    tlv = buffer.substr(6, inner);
    buffer.erase(0, 2 + outer);
    return FrameStatus::Complete;
}

}  // namespace pinpad
