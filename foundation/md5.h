#ifndef DORVISH_MD5_H
#define DORVISH_MD5_H

#include <cstdint>
#include <string>

// Exactly 32 bits on every target; `unsigned long` is 64 bits on x86-64.
typedef uint32_t UINT4;

// Running state of one digest.
typedef struct {
    UINT4 state[4];          // chaining values A, B, C, D
    UINT4 count[2];          // message length in bits mod 2^64, low word first
    unsigned char buffer[64]; // bytes of the incomplete block
} MD5_CTX;

// MD5 message digests (RFC 1321) and their hexadecimal form.
class CMD5 {
public:
    void MD5Init(MD5_CTX* context);
    void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int length);
    // Also wipes the context.
    void MD5Final(unsigned char digest[16], MD5_CTX* context);
    void MD5Transform(UINT4 state[4], const unsigned char block[64]);
    // length counts bytes and is a multiple of 4.
    void Encode(unsigned char* output, const UINT4* input, unsigned int length);
    void Decode(UINT4* output, const unsigned char* input, unsigned int length);
    void MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int length);
    void MD5_memset(unsigned char* output, int value, unsigned int length);

    // 32 lowercase hex digits, first byte first.
    std::string convToString(const unsigned char digest[16]);
    // Digest of every byte of the text, NUL bytes included.
    std::string hashit(std::string text);
    std::string getHashFromString(std::string text);
    // "" when the file cannot be opened.
    std::string getHashFromFile(std::string filename);
};

#endif
