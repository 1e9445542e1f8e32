// The seal: its codec and cryptography against published vectors, and the
// reader's rules as one table of packages that must pass or be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "seal.h"

namespace qdtest {
namespace {

using ByteVector = std::vector<unsigned char>;

ByteVector FromHex(const std::string& hex) {
    ByteVector bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// RFC 8032, section 7.1, test 1: the empty message.
const ByteVector kRfcPublicKey =
    FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const ByteVector kRfcSignature = FromHex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
    "46bd25bf5f0595bbe24655141438e7a100b");

TEST(SealCrypto, Sha256MatchesTheStandardVectorWholeAndStreamed) {
    const ByteVector expected =
        FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    unsigned char whole[qdupk::kSha256Size];
    ASSERT_TRUE(qdupk::Sha256Of("abc", 3, whole));
    EXPECT_EQ(ByteVector(whole, whole + sizeof whole), expected);

    qdupk::Sha256 streamed;
    ASSERT_TRUE(streamed.ok());
    streamed.Update("a", 1);
    streamed.Update("", 0);
    streamed.Update("bc", 2);
    unsigned char parts[qdupk::kSha256Size];
    ASSERT_TRUE(streamed.Final(parts));
    EXPECT_EQ(ByteVector(parts, parts + sizeof parts), expected);
    // A spent context must not hand out a second, meaningless digest.
    EXPECT_FALSE(streamed.Final(parts));
}

TEST(SealCrypto, Ed25519VerifiesTheRfcVectorAndRejectsAnyChange) {
    ByteVector signature = kRfcSignature;
    EXPECT_TRUE(qdupk::Ed25519Verify(kRfcPublicKey.data(), nullptr, 0, signature.data()));
    const unsigned char message = 0;
    EXPECT_FALSE(qdupk::Ed25519Verify(kRfcPublicKey.data(), &message, 1, signature.data()));
    signature[10] ^= 0x01;
    EXPECT_FALSE(qdupk::Ed25519Verify(kRfcPublicKey.data(), nullptr, 0, signature.data()));
    ByteVector key = kRfcPublicKey;
    key[0] ^= 0x80;
    EXPECT_FALSE(qdupk::Ed25519Verify(key.data(), nullptr, 0, kRfcSignature.data()));
}

TEST(SealCodec, KeyIdIsTheHeadOfTheKeysDigest) {
    unsigned char digest[qdupk::kSha256Size];
    ASSERT_TRUE(qdupk::Sha256Of(kRfcPublicKey.data(), kRfcPublicKey.size(), digest));
    unsigned char id[qdupk::kKeyIdSize];
    qdupk::KeyIdOf(kRfcPublicKey.data(), id);
    EXPECT_EQ(0, std::memcmp(id, digest, sizeof id));
}

TEST(SealCodec, FieldsSitAtTheirOffsetsLittleEndianAndRoundTrip) {
    qdupk::SealRecord seal;
    seal.counter = 0x0102030405060708ULL;
    for (std::size_t i = 0; i < qdupk::kKeyIdSize; ++i) {
        seal.keyId[i] = static_cast<unsigned char>(0xA0 + i);
    }
    std::memset(seal.digest, 0x5D, sizeof seal.digest);
    std::memcpy(seal.signature, kRfcSignature.data(), sizeof seal.signature);
    unsigned char raw[qdupk::kSealSize];
    qdupk::EncodeSeal(seal, raw);

    EXPECT_EQ(0, std::memcmp(raw, "QDSEAL01", 8));
    EXPECT_TRUE(qdupk::HasSealMagic(raw, sizeof raw));
    EXPECT_FALSE(qdupk::HasSealMagic(raw, 7));
    EXPECT_EQ(ByteVector(raw + 8, raw + 24), FromHex("80000000"
                                                     "01000000"
                                                     "0807060504030201"));
    EXPECT_EQ(raw[24], 0xA0);
    EXPECT_EQ(raw[32], 0x5D);
    EXPECT_EQ(ByteVector(raw + 64, raw + 128), kRfcSignature);

    qdupk::SealRecord back;
    back.size = 0;
    back.algorithm = 0;
    qdupk::DecodeSeal(raw, &back);
    EXPECT_EQ(back.size, 128u);
    EXPECT_EQ(back.algorithm, 1u);
    EXPECT_EQ(back.counter, seal.counter);
    EXPECT_EQ(0, std::memcmp(back.keyId, seal.keyId, sizeof back.keyId));
    EXPECT_EQ(0, std::memcmp(back.digest, seal.digest, sizeof back.digest));
    EXPECT_EQ(0, std::memcmp(back.signature, seal.signature, sizeof back.signature));
}

}  // namespace
}  // namespace qdtest
