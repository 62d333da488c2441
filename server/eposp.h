#ifndef EPOSP_H
#define EPOSP_H

#include <cstddef>
#include <vector>

// Inner frame of the terminal link: a 4-byte big-endian length, then the TLV message.
class eposp {
public:
    std::vector<unsigned char> payload;

    // payload becomes a copy of v
    eposp& operator<<(const std::vector<unsigned char>& v);
    // v becomes a copy of payload
    eposp& operator>>(std::vector<unsigned char>& v);
};

// Encodes the frame into out (previous content discarded).
eposp& operator<<(std::vector<unsigned char>& out, eposp& frame);
// Decodes in into the frame's payload; a rejected input leaves the payload empty.
eposp& operator>>(const std::vector<unsigned char>& in, eposp& frame);

#endif
