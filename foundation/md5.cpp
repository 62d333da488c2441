#include "md5.h"

#include <cstdio>

namespace {

// floor(|sin(i + 1)| * 2^32) for step i.
const UINT4 kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee,
    0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa,
    0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05,
    0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039,
    0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
const unsigned kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21},
};

inline UINT4 rotateLeft(UINT4 x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

const unsigned char kPadding[64] = {0x80};

}  // namespace

void CMD5::MD5Init(MD5_CTX* context) {
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void CMD5::MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length) {
    unsigned int index = (context->count[0] >> 3) & 0x3F;

    // 64-bit bit count kept in two words; carry by hand.
    UINT4 bitsLow = static_cast<UINT4>(length) << 3;
    context->count[0] += bitsLow;
    if (context->count[0] < bitsLow) {
        context->count[1]++;
    }
    context->count[1] += static_cast<UINT4>(length) >> 29;

    unsigned int partLength = 64 - index;
    unsigned int i = 0;
    if (length >= partLength) {
        MD5_memcpy(&context->buffer[index], input, partLength);
        MD5Transform(context->state, context->buffer);
        for (i = partLength; length - i >= 64; i += 64) {
            MD5Transform(context->state, &input[i]);
        }
        index = 0;
    }
    MD5_memcpy(&context->buffer[index], &input[i], length - i);
}

void CMD5::MD5Final(unsigned char digest[16], MD5_CTX* context) {
    unsigned char bits[8];
    Encode(bits, context->count, 8);

    // Pad to 56 bytes mod 64, leaving room for the length.
    unsigned int index = (context->count[0] >> 3) & 0x3F;
    unsigned int padLength = (index < 56) ? (56 - index) : (120 - index);
    MD5Update(context, kPadding, padLength);
    MD5Update(context, bits, 8);

    Encode(digest, context->state, 16);
    MD5_memset(reinterpret_cast<unsigned char*>(context), 0, sizeof(*context));
}

void CMD5::MD5Transform(UINT4 state[4], const unsigned char block[64]) {
    UINT4 x[16];
    Decode(x, block, 64);

    UINT4 a = state[0];
    UINT4 b = state[1];
    UINT4 c = state[2];
    UINT4 d = state[3];

    for (unsigned step = 0; step < 64; ++step) {
        unsigned round = step / 16;
        UINT4 f;
        unsigned word;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            word = step;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            word = (5 * step + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            word = (3 * step + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            word = (7 * step) % 16;
            break;
        }
        UINT4 sum = a + f + kSine[step] + x[word];
        a = d;
        d = c;
        c = b;
        b = b + rotateLeft(sum, kShift[round][step % 4]);
    }

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The block may hold secret input.
    MD5_memset(reinterpret_cast<unsigned char*>(x), 0, sizeof(x));
}

void CMD5::Encode(unsigned char* output, const UINT4* input, unsigned int length) {
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void CMD5::Decode(UINT4* output, const unsigned char* input, unsigned int length) {
    // Byte by byte: the input need not be aligned, and each byte is widened
    // before shifting so that nothing shifts into a signed int's sign bit.
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
        output[i] = static_cast<UINT4>(input[j]) |
                    (static_cast<UINT4>(input[j + 1]) << 8) |
                    (static_cast<UINT4>(input[j + 2]) << 16) |
                    (static_cast<UINT4>(input[j + 3]) << 24);
    }
}

void CMD5::MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int length) {
    for (unsigned int i = 0; i < length; ++i) {
        output[i] = input[i];
    }
}

void CMD5::MD5_memset(unsigned char* output, int value, unsigned int length) {
    for (unsigned int i = 0; i < length; ++i) {
        output[i] = static_cast<unsigned char>(value);
    }
}

std::string CMD5::convToString(const unsigned char digest[16]) {
    char text[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    return std::string(text, 32);
}

std::string CMD5::hashit(std::string text) {
    MD5_CTX context;
    MD5Init(&context);
    const unsigned char* data = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    // MD5Update takes an unsigned int length; a text beyond 4 GiB on a
    // 64-bit host goes in several calls rather than being cut short.
    const size_t maxPiece = 0x40000000u;
    while (left > 0) {
        size_t piece = left < maxPiece ? left : maxPiece;
        MD5Update(&context, data, static_cast<unsigned int>(piece));
        data += piece;
        left -= piece;
    }
    unsigned char digest[16];
    MD5Final(digest, &context);
    return convToString(digest);
}

std::string CMD5::getHashFromString(std::string text) {
    return hashit(text);
}

std::string CMD5::getHashFromFile(std::string filename) {
    FILE* file = std::fopen(filename.c_str(), "rbe"); // "e": not inherited by started programs
    if (file == nullptr) {
        return "";
    }
    MD5_CTX context;
    MD5Init(&context);
    unsigned char piece[1024];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof(piece), file)) > 0) {
        MD5Update(&context, piece, static_cast<unsigned int>(got));
    }
    std::fclose(file);
    unsigned char digest[16];
    MD5Final(digest, &context);
    return convToString(digest);
}
