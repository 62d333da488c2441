#ifndef TERMINAL_FRAMES_H
#define TERMINAL_FRAMES_H

// Terminal messages as the tests write and read them: TLV fields inside the two
// length frames.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// The two length frames around a TLV message.
inline std::string frame(const std::string& tlv)
{
    std::string out;
    const size_t n = tlv.size();
    out += static_cast<char>(((n + 4) >> 8) & 0xFF);
    out += static_cast<char>((n + 4) & 0xFF);
    out += std::string("\0\0", 2);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
    return out + tlv;
}

// One field with a one-byte tag and a short length.
inline std::string tlv(unsigned char tag, const std::string& v)
{
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(v.size()) + v;
}

// A message the server sent to the terminal: its fields by tag.
typedef std::map<unsigned, std::string> message;

// Splits what the terminal received into messages; a broken stream fails the test.
inline std::vector<message> messages(const std::string& stream)
{
    std::vector<message> out;
    size_t p = 0;
    while (p < stream.size()) {
        if (stream.size() - p < 6) {
            ADD_FAILURE() << "short frame";
            break;
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(stream.data()) + p;
        const size_t outer = (b[0] << 8) | b[1];
        const size_t inner = (static_cast<size_t>(b[2]) << 24) | (b[3] << 16) | (b[4] << 8) | b[5];
        if (outer != inner + 4 || stream.size() - p < 2 + outer) {
            ADD_FAILURE() << "frame lengths " << outer << " and " << inner;
            break;
        }
        message m;
        size_t q = p + 6;
        const size_t end = p + 2 + outer;
        while (q + 2 <= end) {
            const unsigned tag = static_cast<unsigned char>(stream[q]);
            size_t len = static_cast<unsigned char>(stream[q + 1]);
            q += 2;
            if (len == 0x81 && q < end) {
                len = static_cast<unsigned char>(stream[q]);
                ++q;
            }
            m[tag] = stream.substr(q, len);
            q += len;
        }
        out.push_back(m);
        p = end;
    }
    return out;
}

#endif
