#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libqdupdate.h"

namespace {

std::string Hex(const unsigned char (&digest)[16]) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::string DigestInPieces(const std::string& message, std::size_t piece) {
    MD5_CTX ctx;
    libqdupk_MD5Init(&ctx);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    for (std::size_t off = 0; off < message.size(); off += piece) {
        const std::size_t n = std::min(piece, message.size() - off);
        libqdupk_MD5Update(&ctx, bytes + off, static_cast<unsigned int>(n));
    }
    unsigned char digest[16];
    libqdupk_MD5Final(&ctx, digest);
    return Hex(digest);
}

std::string MakeString(const std::string& message) {
    unsigned char digest[16];
    libqdupk_MD5MakeString(message.c_str(), digest);
    return Hex(digest);
}

struct Vector {
    std::string message;
    const char* digest;
};

// The test suite of RFC 1321, then messages around the padding boundary
// (55 bytes pad within the block, 56 to 63 need one more) and a long one.
const std::vector<Vector>& Vectors() {
    static const std::vector<Vector> vectors = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    return vectors;
}

TEST(Md5, KnownDigestsThroughMakeStringAndUpdate) {
    for (const Vector& v : Vectors()) {
        EXPECT_EQ(MakeString(v.message), v.digest) << v.message.size() << " bytes";
        EXPECT_EQ(DigestInPieces(v.message, v.message.size() + 1), v.digest)
            << v.message.size() << " bytes";
    }
}

TEST(Md5, PiecewiseFeedingGivesTheSameDigest) {
    std::string message(10000, '\0');
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    const std::string whole = DigestInPieces(message, message.size());
    for (const std::size_t piece : {1U, 63U, 64U, 65U, 4096U}) {
        EXPECT_EQ(DigestInPieces(message, piece), whole) << "pieces of " << piece;
    }
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    MD5_CTX ctx;
    libqdupk_MD5Init(&ctx);
    ctx.count[0] = 0xFFFFFFF8u;  // one byte short of 2^32 bits
    const unsigned char byte = 'x';
    libqdupk_MD5Update(&ctx, &byte, 1);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
}

}  // namespace
