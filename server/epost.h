#ifndef EPOST_H
#define EPOST_H

#include <cstddef>
#include <vector>

// Outer frame of the terminal link: a 2-byte big-endian length, then the inner frame.
class epost {
public:
    std::vector<unsigned char> payload;

    // payload becomes a copy of v
    epost& operator<<(const std::vector<unsigned char>& v);
    // v becomes a copy of payload
    epost& operator>>(std::vector<unsigned char>& v);
};

// Encodes the frame into out (previous content discarded); only the low 16 bits of the
// payload size fit the length field.
epost& operator<<(std::vector<unsigned char>& out, epost& frame);
// Decodes in into the frame's payload; a rejected input leaves the payload empty.
epost& operator>>(const std::vector<unsigned char>& in, epost& frame);

#endif
