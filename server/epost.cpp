#include "epost.h"

epost& epost::operator<<(const std::vector<unsigned char>& v)
{
    payload = v;
    return *this;
}

epost& epost::operator>>(std::vector<unsigned char>& v)
{
    v = payload;
    return *this;
}

epost& operator<<(std::vector<unsigned char>& out, epost& frame)
{
    const size_t n = frame.payload.size();
    out.clear();
    out.reserve(n + 2);
    out.push_back(static_cast<unsigned char>((n >> 8) & 0xFF));
    out.push_back(static_cast<unsigned char>(n & 0xFF));
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return frame;
}

epost& operator>>(const std::vector<unsigned char>& in, epost& frame)
{
    frame.payload.clear();
    if (in.size() <= 2)
        return frame;
    const size_t len = static_cast<size_t>(in[0]) * 256 + in[1];
    if (len == in.size() - 2)
        frame.payload.assign(in.begin() + 2, in.end());
    return frame;
}
