#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Known {
    std::string text;
    const char* hex;
};

// The reference suite of RFC 1321, plus lengths around the padding limits:
// 55 still fits the length field in its block, 56 needs a second block, 64
// is exactly one block of data.
TEST(Md5, KnownDigests) {
    const std::vector<Known> cases = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(57, 'a'), "652b906d60af96844ebd21b674f35e93"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
        {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
        // An embedded NUL is data, not the end of the text.
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
    };
    CMD5 md5;
    for (const Known& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.text.size()));
        EXPECT_EQ(md5.getHashFromString(c.text), c.hex);
        EXPECT_EQ(md5.hashit(c.text), c.hex);
    }
}

TEST(Md5, PiecesGiveTheSameDigestAsOneCall) {
    std::string message;
    for (int i = 0; i < 300; ++i) {
        message.push_back(static_cast<char>((i * 37 + 11) & 0xff));
    }
    CMD5 md5;
    const std::string whole = md5.hashit(message);

    const std::vector<std::vector<unsigned>> splits = {
        {1, 63, 64, 65},
        {63, 1, 1, 62, 64},
        {64, 64, 64},
        {65, 0, 55, 56},
        {0, 0, 300},
        {299},
    };
    for (const std::vector<unsigned>& sizes : splits) {
        MD5_CTX context;
        md5.MD5Init(&context);
        const unsigned char* data = reinterpret_cast<const unsigned char*>(message.data());
        unsigned fed = 0;
        for (unsigned size : sizes) {
            md5.MD5Update(&context, data + fed, size);
            fed += size;
        }
        ASSERT_LE(fed, message.size());
        md5.MD5Update(&context, data + fed, static_cast<unsigned>(message.size() - fed));
        unsigned char digest[16];
        md5.MD5Final(digest, &context);
        EXPECT_EQ(md5.convToString(digest), whole) << "first piece " << sizes[0];
    }
}

TEST(Md5, FinalWipesTheContext) {
    CMD5 md5;
    MD5_CTX context;
    md5.MD5Init(&context);
    md5.MD5Update(&context, reinterpret_cast<const unsigned char*>("abc"), 3);
    unsigned char digest[16];
    md5.MD5Final(digest, &context);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&context);
    for (size_t i = 0; i < sizeof(context); ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
}

// Messages past 512 MiB overflow the low word of the bit count.
TEST(Md5, BitCountCarriesIntoHighWord) {
    CMD5 md5;
    MD5_CTX context;
    md5.MD5Init(&context);
    context.count[0] = 0xfffffff8u;  // one byte short of the carry
    const unsigned char byte = 'x';
    md5.MD5Update(&context, &byte, 1);
    EXPECT_EQ(context.count[0], 0u);
    EXPECT_EQ(context.count[1], 1u);
    md5.MD5Update(&context, &byte, 1);
    EXPECT_EQ(context.count[0], 8u);
    EXPECT_EQ(context.count[1], 1u);
}

TEST(Md5, WordsAreLittleEndianAndNeedNoAlignment) {
    CMD5 md5;
    // Offset by one so the words start at an odd address.
    const unsigned char bytes[9] = {0, 0x01, 0x02, 0x03, 0x04, 0xff, 0xfe, 0xfd, 0x80};
    UINT4 words[2];
    md5.Decode(words, bytes + 1, 8);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0x80fdfeffu);

    unsigned char back[9] = {0};
    md5.Encode(back + 1, words, 8);
    for (int i = 1; i < 9; ++i) {
        EXPECT_EQ(back[i], bytes[i]) << "byte " << i;
    }
}

TEST(Md5, HexFormIsLowercaseFirstByteFirst) {
    const unsigned char digest[16] = {0x00, 0x01, 0x0a, 0xab, 0xcd, 0xef, 0xf0, 0xff,
                                      0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x89};
    CMD5 md5;
    EXPECT_EQ(md5.convToString(digest), "00010aabcdeff0ff1020304050607089");
}

class Md5File : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/md5_test_XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_NE(fd, -1);
        close(fd);
        path = pattern;
    }
    void TearDown() override { std::remove(path.c_str()); }

    void write(const std::string& content) {
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
        std::fclose(file);
    }

    std::string path;
};

TEST_F(Md5File, DigestOfWholeFileMatchesTheText) {
    CMD5 md5;
    // Sizes below, at and across the 1024-byte read pieces, with NULs and
    // bytes above 0x7f that a text-mode read could alter.
    for (size_t size : {size_t(0), size_t(3), size_t(1024), size_t(2500)}) {
        std::string content;
        for (size_t i = 0; i < size; ++i) {
            content.push_back(static_cast<char>(i % 256));
        }
        write(content);
        EXPECT_EQ(md5.getHashFromFile(path), md5.getHashFromString(content)) << "size " << size;
    }
}

TEST_F(Md5File, MissingFileGivesEmptyText) {
    CMD5 md5;
    EXPECT_EQ(md5.getHashFromFile(path + ".missing"), "");
}

}  // namespace
