#include "tlv.h"

#include <cstdio>

namespace pinpad {

std::string encodeLength(uint32_t size)
{
    std::string out;
    if (size < 0x80) {
        out.push_back(static_cast<char>(size));
        return out;
    }
    int bytes = size <= 0xFF ? 1 : size <= 0xFFFF ? 2 : size <= 0xFFFFFF ? 3 : 4;
    out.push_back(static_cast<char>(0x80 + bytes));
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
    return out;
}

std::string encodeTlv(const Fields& fields)
{
    std::string out;
    for (const Field& f : fields) {
        if (f.tag > 0xFF)
            out.push_back(static_cast<char>(f.tag >> 8));
        out.push_back(static_cast<char>(f.tag & 0xFF));
        out += encodeLength(static_cast<uint32_t>(f.value.size()));
        out += f.value;
    }
    return out;
}

bool decodeTlv(const std::string& message, Fields& out)
{
    out.clear();
    const size_t size = message.size();
    size_t p = 0;
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(message[i]); };
    while (p < size) {
        uint16_t tag = byteAt(p++);
        if ((tag & 0x1F) == 0x1F) {
            if (p >= size)
                return false;
            tag = static_cast<uint16_t>(tag << 8 | byteAt(p++));
        }
        if (p >= size)
            return false;
        uint32_t length = byteAt(p++);
        if (length & 0x80) {
            const unsigned n = length & 0x7F;
            if (n > 4 || size - p < n)
                return false;
            length = 0;
            for (unsigned i = 0; i < n; ++i)
                length = length << 8 | byteAt(p++);
        }
        // Compare against what is left, so that lengths near 2^32 cannot wrap.
        if (length > size - p)
            return false;
        out.push_back(Field{tag, message.substr(p, length)});
        p += length;
    }
    return true;
}

const std::string* findField(const Fields& fields, uint16_t tag)
{
    for (const Field& f : fields)
        if (f.tag == tag)
            return &f.value;
    return nullptr;
}

std::string escapeBytes(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c > 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string describe(const Fields& fields)
{
    std::string out;
    for (const Field& f : fields) {
        char tag[8];
        std::snprintf(tag, sizeof tag, f.tag > 0xFF ? "%04x=" : "%02x=", static_cast<unsigned>(f.tag));
        if (!out.empty())
            out.push_back(' ');
        out += tag;
        out += escapeBytes(f.value);
    }
    return out;
}

}  // namespace pinpad
