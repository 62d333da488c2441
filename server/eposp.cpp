#include "eposp.h"

eposp& eposp::operator<<(const std::vector<unsigned char>& v)
{
    payload = v;
    return *this;
}

eposp& eposp::operator>>(std::vector<unsigned char>& v)
{
    v = payload;
    return *this;
}

eposp& operator<<(std::vector<unsigned char>& out, eposp& frame)
{
    const size_t n = frame.payload.size();
    out.clear();
    out.reserve(n + 4);
    out.push_back(static_cast<unsigned char>((n >> 24) & 0xFF));
    out.push_back(static_cast<unsigned char>((n >> 16) & 0xFF));
    out.push_back(static_cast<unsigned char>((n >> 8) & 0xFF));
    out.push_back(static_cast<unsigned char>(n & 0xFF));
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return frame;
}

eposp& operator>>(const std::vector<unsigned char>& in, eposp& frame)
{
    frame.payload.clear();
    if (in.size() <= 4)
        return frame;
    // Terminals fill only the low half of the length; the high half is not checked.
    const size_t len = static_cast<size_t>(in[2]) * 256 + in[3];
    if (len == in.size() - 4)
        frame.payload.assign(in.begin() + 4, in.end());
    return frame;
}
