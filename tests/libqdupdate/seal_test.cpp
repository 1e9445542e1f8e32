// The seal: its codec and cryptography against published vectors, and the
// reader's rules as one table of packages that must pass or be refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "package_fixture.h"
#include "pkg_install.h"
#include "qd_bytes.h"
#include "qd_owners.h"
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
    unsigned char whole[qdpkg::kSha256Size];
    ASSERT_TRUE(qdpkg::Sha256Of("abc", 3, whole));
    EXPECT_EQ(ByteVector(whole, whole + sizeof whole), expected);

    qdpkg::Sha256 streamed;
    ASSERT_TRUE(streamed.ok());
    streamed.Update("a", 1);
    streamed.Update("", 0);
    streamed.Update("bc", 2);
    unsigned char parts[qdpkg::kSha256Size];
    ASSERT_TRUE(streamed.Final(parts));
    EXPECT_EQ(ByteVector(parts, parts + sizeof parts), expected);
    // A spent context must not hand out a second, meaningless digest.
    EXPECT_FALSE(streamed.Final(parts));
}

// The exported context: split updates, and a digest taken midway that
// leaves the message open (the daemon digests a package without its seal,
// then with it).
TEST(SealCrypto, ExportedSha256DigestsSplitInputAndGoesOnAfterADigest) {
    struct Free {
        void operator()(QDUPK_SHA256_CTX* ctx) const noexcept { libqdupk_sha256_free(ctx); }
    };
    const std::unique_ptr<QDUPK_SHA256_CTX, Free> ctx(libqdupk_sha256_create());
    ASSERT_NE(ctx, nullptr);
    const std::string longer = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    ASSERT_EQ(libqdupk_sha256_update(ctx.get(), "a", 1), 0);
    ASSERT_EQ(libqdupk_sha256_update(ctx.get(), nullptr, 0), 0);
    ASSERT_EQ(libqdupk_sha256_update(ctx.get(), "bc", 2), 0);
    unsigned char digest[QDUPK_SHA256_SIZE];
    ASSERT_EQ(libqdupk_sha256_final(ctx.get(), digest), 0);
    EXPECT_EQ(ByteVector(digest, digest + sizeof digest),
              FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    ASSERT_EQ(libqdupk_sha256_update(ctx.get(), longer.data() + 3, longer.size() - 3), 0);
    ASSERT_EQ(libqdupk_sha256_final(ctx.get(), digest), 0);
    EXPECT_EQ(ByteVector(digest, digest + sizeof digest),
              FromHex("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));

    EXPECT_EQ(libqdupk_sha256_update(nullptr, "a", 1), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_sha256_update(ctx.get(), nullptr, 1), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_sha256_final(ctx.get(), nullptr), QDUPKERR_OPENFILE);
    libqdupk_sha256_free(nullptr);
}

TEST(SealCrypto, Ed25519VerifiesTheRfcVectorAndRejectsAnyChange) {
    ByteVector signature = kRfcSignature;
    EXPECT_TRUE(qdpkg::Ed25519Verify(kRfcPublicKey.data(), nullptr, 0, signature.data()));
    const unsigned char message = 0;
    EXPECT_FALSE(qdpkg::Ed25519Verify(kRfcPublicKey.data(), &message, 1, signature.data()));
    signature[10] ^= 0x01;
    EXPECT_FALSE(qdpkg::Ed25519Verify(kRfcPublicKey.data(), nullptr, 0, signature.data()));
    // A fixed-size copy: GCC -O3 sees a possible null behind an indexed vector copy.
    std::array<unsigned char, qdpkg::kEd25519KeySize> key{};
    ASSERT_EQ(kRfcPublicKey.size(), key.size());
    std::copy(kRfcPublicKey.begin(), kRfcPublicKey.end(), key.begin());
    key[0] ^= 0x80;
    EXPECT_FALSE(qdpkg::Ed25519Verify(key.data(), nullptr, 0, kRfcSignature.data()));
}

// Encodings a verifier must never trust as a key. With the first three a
// signature of R = the neutral point and S = 0 verifies for any message in
// OpenSSL 3.0 alone; the order-8 point and all zeros take such forgeries
// for some messages.
const char* const kWeakKeys[] = {
    "0000000000000000000000000000000000000000000000000000000000000000",  // order 4
    "0100000000000000000000000000000000000000000000000000000000000000",  // neutral
    "0100000000000000000000000000000000000000000000000000000000000080",  // neutral, sign set
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // neutral + p
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",  // order 8
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",  // order 8
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // order 2
    "efffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // y = 2 + p
};

// R is the neutral point, S is 0: "signed" by a small-order key.
ByteVector ForgedSignature() {
    ByteVector signature(qdpkg::kEd25519SignatureSize, 0);
    signature[0] = 1;
    return signature;
}

TEST(SealCrypto, SmallOrderAndNonCanonicalPointsVerifyNothing) {
    const ByteVector forged = ForgedSignature();
    for (const char* hex : kWeakKeys) {
        SCOPED_TRACE(hex);
        const ByteVector key = FromHex(hex);
        EXPECT_FALSE(qdpkg::StrictPointEncoding(key.data()));
        for (const char* message : {"", "seal", "any message at all"}) {
            EXPECT_FALSE(qdpkg::Ed25519Verify(key.data(),
                                              reinterpret_cast<const unsigned char*>(message),
                                              std::strlen(message), forged.data()));
        }
        unsigned char id[qdpkg::kKeyIdSize]{};
        unsigned char expectedId[qdpkg::kKeyIdSize];
        qdpkg::KeyIdOf(key.data(), expectedId);
        EXPECT_EQ(libqdupk_checkkey(key.data(), id), QDUPKERR_WEAKKEY);
        EXPECT_EQ(0, std::memcmp(id, expectedId, sizeof id)) << "the id names the refused key";
    }
    EXPECT_TRUE(qdpkg::StrictPointEncoding(kRfcPublicKey.data()));
    EXPECT_EQ(libqdupk_checkkey(kRfcPublicKey.data(), nullptr), 0);
    EXPECT_EQ(libqdupk_checkkey(nullptr, nullptr), QDUPKERR_OPENFILE);

    // A signature whose R is not canonical, or whose S is not below the
    // group order L (here S + L), is refused too.
    ByteVector signature = kRfcSignature;
    const ByteVector order =
        FromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    unsigned carry = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        carry += unsigned{signature[32 + i]} + order[i];
        signature[32 + i] = static_cast<unsigned char>(carry & 0xFF);
        carry >>= 8;
    }
    EXPECT_FALSE(qdpkg::Ed25519Verify(kRfcPublicKey.data(), nullptr, 0, signature.data()));
    signature = kRfcSignature;
    std::fill(signature.begin(), signature.begin() + 32, 0xFF);
    signature[31] = 0x7F;
    EXPECT_FALSE(qdpkg::StrictPointEncoding(signature.data()));
}

TEST(SealCodec, KeyIdIsTheHeadOfTheKeysDigest) {
    unsigned char digest[qdpkg::kSha256Size];
    ASSERT_TRUE(qdpkg::Sha256Of(kRfcPublicKey.data(), kRfcPublicKey.size(), digest));
    unsigned char id[qdpkg::kKeyIdSize];
    qdpkg::KeyIdOf(kRfcPublicKey.data(), id);
    EXPECT_EQ(0, std::memcmp(id, digest, sizeof id));
}

TEST(SealCodec, FieldsSitAtTheirOffsetsLittleEndianAndRoundTrip) {
    qdpkg::SealRecord seal;
    seal.counter = 0x0102030405060708ULL;
    for (std::size_t i = 0; i < qdpkg::kKeyIdSize; ++i) {
        seal.keyId[i] = static_cast<unsigned char>(0xA0 + i);
    }
    std::memset(seal.digest, 0x5D, sizeof seal.digest);
    std::memcpy(seal.signature, kRfcSignature.data(), sizeof seal.signature);
    unsigned char raw[qdpkg::kSealSize];
    qdpkg::EncodeSeal(seal, raw);

    EXPECT_EQ(0, std::memcmp(raw, "QDSEAL01", 8));
    EXPECT_TRUE(qdpkg::HasSealMagic(raw, sizeof raw));
    EXPECT_FALSE(qdpkg::HasSealMagic(raw, 7));
    EXPECT_EQ(ByteVector(raw + 8, raw + 24), FromHex("80000000"
                                                     "01000000"
                                                     "0807060504030201"));
    EXPECT_EQ(raw[24], 0xA0);
    EXPECT_EQ(raw[32], 0x5D);
    EXPECT_EQ(ByteVector(raw + 64, raw + 128), kRfcSignature);

    qdpkg::SealRecord back;
    back.size = 0;
    back.algorithm = 0;
    qdpkg::DecodeSeal(raw, &back);
    EXPECT_EQ(back.size, 128u);
    EXPECT_EQ(back.algorithm, 1u);
    EXPECT_EQ(back.counter, seal.counter);
    EXPECT_EQ(0, std::memcmp(back.keyId, seal.keyId, sizeof back.keyId));
    EXPECT_EQ(0, std::memcmp(back.digest, seal.digest, sizeof back.digest));
    EXPECT_EQ(0, std::memcmp(back.signature, seal.signature, sizeof back.signature));
}

// A fresh Ed25519 key pair per test run: signing exists only on the host,
// so the tests carry their own signer instead of a committed secret.
class TestSigner {
  public:
    TestSigner() {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY* key = nullptr;
        const bool made =
            ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1;
        EVP_PKEY_CTX_free(ctx);
        key_.reset(key);
        std::size_t size = sizeof publicKey_;
        if (!made || EVP_PKEY_get_raw_public_key(key, publicKey_, &size) != 1) {
            ADD_FAILURE() << "no test key pair";
        }
    }
    const unsigned char* publicKey() const { return publicKey_; }

    void Sign(const unsigned char* message, std::size_t size, unsigned char* signature) const {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        std::size_t length = qdpkg::kEd25519SignatureSize;
        const bool signedOk = ctx != nullptr &&
                              EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_.get()) == 1 &&
                              EVP_DigestSign(ctx, signature, &length, message, size) == 1;
        EVP_MD_CTX_free(ctx);
        EXPECT_TRUE(signedOk);
    }

  private:
    struct Free {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    std::unique_ptr<EVP_PKEY, Free> key_;
    unsigned char publicKey_[qdpkg::kEd25519KeySize]{};
};

TEST(SealCrypto, Ed25519VerifiesWhatOpenSslSigned) {
    const TestSigner signer;
    const std::string message = "seal bytes";
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    unsigned char signature[qdpkg::kEd25519SignatureSize];
    signer.Sign(bytes, message.size(), signature);
    EXPECT_TRUE(qdpkg::Ed25519Verify(signer.publicKey(), bytes, message.size(), signature));
    EXPECT_FALSE(qdpkg::Ed25519Verify(signer.publicKey(), bytes, message.size() - 1, signature));
}

// How a case's package is made: sealed or not, which key signs it (none:
// unsigned), and what is done to the seal before signing and to the bytes
// after.
struct SealPlan {
    bool sealed = true;
    const TestSigner* signer = nullptr;
    std::function<void(qdpkg::SealRecord&)> editSeal;
    std::function<void(std::string&)> editBytes;
};
constexpr std::uint64_t kCounter = 7;

SealPlan Unsealed(std::function<void(std::string&)> editBytes = nullptr) {
    return SealPlan{false, nullptr, nullptr, std::move(editBytes)};
}

SealPlan SealBy(const TestSigner* signer, std::function<void(std::string&)> editBytes = nullptr,
                std::function<void(qdpkg::SealRecord&)> editSeal = nullptr) {
    return SealPlan{true, signer, std::move(editSeal), std::move(editBytes)};
}

std::string DefaultPackage() {
    return qdupk::BuildPackage(
        Package({Item(QDUPK_ITEM_FILE, "kernel"), Item(QDUPK_ITEM_APP, "app", "/opt/update")}));
}

std::string Sealed(const SealPlan& plan, std::string bytes = DefaultPackage()) {
    if (plan.sealed) {
        qdpkg::SealRecord seal;
        seal.counter = kCounter;
        EXPECT_TRUE(qdpkg::Sha256Of(bytes.data(), bytes.size(), seal.digest));
        if (plan.signer != nullptr) {
            qdpkg::KeyIdOf(plan.signer->publicKey(), seal.keyId);
        }
        if (plan.editSeal) {
            plan.editSeal(seal);
        }
        unsigned char raw[qdpkg::kSealSize];
        qdpkg::EncodeSeal(seal, raw);
        if (plan.signer != nullptr) {
            plan.signer->Sign(raw, qdpkg::kSealSignedPart, raw + qdpkg::kSealSignedPart);
        }
        bytes.append(reinterpret_cast<const char*>(raw), sizeof raw);
    }
    if (plan.editBytes) {
        plan.editBytes(bytes);
    }
    return bytes;
}

// What the caller of the digest variant computes while receiving.
std::vector<unsigned char> PrefixDigest(const std::string& bytes) {
    std::vector<unsigned char> digest(qdpkg::kSha256Size);
    const std::size_t size = bytes.size() >= qdpkg::kSealSize ? bytes.size() - qdpkg::kSealSize : 0;
    EXPECT_TRUE(qdpkg::Sha256Of(bytes.data(), size, digest.data()));
    return digest;
}

class SealCheckTest : public PackageTest {
  protected:
    TestSigner key1_;
    TestSigner key2_;
    TestSigner stranger_;

    std::vector<unsigned char> Keys(std::initializer_list<const TestSigner*> signers) const {
        std::vector<unsigned char> keys;
        for (const TestSigner* s : signers) {
            keys.insert(keys.end(), s->publicKey(), s->publicKey() + qdpkg::kEd25519KeySize);
        }
        return keys;
    }

    int Check(const std::vector<unsigned char>& keys, std::uint64_t minCounter,
              const unsigned char* prefixDigest, QDUPK_SEALINFO_T* info) {
        StdoutCapture capture;
        const unsigned char* k = keys.empty() ? nullptr : keys.data();
        const int nKeys = static_cast<int>(keys.size() / qdpkg::kEd25519KeySize);
        const int ret = prefixDigest == nullptr
                            ? libqdupk_checkseal(package_.c_str(), k, nKeys, minCounter, info)
                            : libqdupk_checkseal_digest(package_.c_str(), prefixDigest, k, nKeys,
                                                        minCounter, info);
        messages_ = Messages(capture.Finish());
        return ret;
    }
};

std::vector<std::string> Errors(const std::vector<std::string>& messages) {
    std::vector<std::string> errors;
    for (const std::string& m : messages) {
        if (m.rfind("E ", 0) == 0) {
            errors.push_back(m);
        }
    }
    return errors;
}

TEST_F(SealCheckTest, EveryRuleAcceptsOrRefusesThroughBothEntryPoints) {
    const std::size_t sealAt = Sealed(Unsealed()).size();
    const auto flip = [](std::size_t at) {
        return [at](std::string& b) { b[at] = static_cast<char>(b[at] ^ 0x01); };
    };
    const auto keys12 = Keys({&key1_, &key2_});
    const std::vector<unsigned char> noKeys;
    struct Case {
        const char* name;
        SealPlan plan;
        std::vector<unsigned char> keys;
        std::uint64_t minCounter;
        int code;
        QDUPK_SEAL_STATE state;
        int keyIndex;
        const char* error;  // part of the last error line of a refusal
    };
    const Case cases[] = {
        {"unsealed, no keys", Unsealed(), noKeys, 0, 0, QDUPK_SEAL_NONE, -1, ""},
        {"foreign trailer", Unsealed([](std::string& b) { b += std::string(128, 'x'); }), noKeys, 0,
         0, QDUPK_SEAL_NONE, -1, ""},
        {"short trailer", Unsealed([](std::string& b) { b += "QDSEAL0"; }), noKeys, 0, 0,
         QDUPK_SEAL_NONE, -1, ""},
        {"unsigned, no keys", SealBy(nullptr), noKeys, kCounter, 0, QDUPK_SEAL_UNSIGNED, -1, ""},
        {"signed, no keys", SealBy(&stranger_), noKeys, 0, 0, QDUPK_SEAL_SIGNED, -1, ""},
        {"signed by key1", SealBy(&key1_), keys12, kCounter, 0, QDUPK_SEAL_SIGNED, 0, ""},
        {"signed by key2", SealBy(&key2_), keys12, 0, 0, QDUPK_SEAL_SIGNED, 1, ""},
        {"seal cut short", SealBy(&key1_, [](std::string& b) { b.pop_back(); }), noKeys, 0,
         QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"magic alone", Unsealed([](std::string& b) { b += "QDSEAL01"; }), noKeys, 0,
         QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"byte after seal", SealBy(&key1_, [](std::string& b) { b += '\n'; }), keys12, 0,
         QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"size wrong", SealBy(nullptr, nullptr, [](qdpkg::SealRecord& r) { r.size = 129; }), noKeys,
         0, QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"algorithm wrong", SealBy(&key1_, nullptr, [](qdpkg::SealRecord& r) { r.algorithm = 2; }),
         keys12, 0, QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"key id, no signature",
         SealBy(nullptr, nullptr, [](qdpkg::SealRecord& r) { r.keyId[7] = 1; }), noKeys, 0,
         QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"signature, no key id", SealBy(nullptr, flip(sealAt + 127)), noKeys, 0,
         QDUPKERR_SEALFORMAT, QDUPK_SEAL_NONE, -1, "seal malformed"},
        {"head changed, no keys", SealBy(nullptr, flip(40)), noKeys, 0, QDUPKERR_SEALDIGEST,
         QDUPK_SEAL_UNSIGNED, -1, "digest"},
        {"item data changed", SealBy(&key1_, flip(sealAt - 41)), keys12, 0, QDUPKERR_SEALDIGEST,
         QDUPK_SEAL_SIGNED, -1, "digest"},
        {"unsealed, key required", Unsealed(), keys12, 0, QDUPKERR_UNSEALED, QDUPK_SEAL_NONE, -1,
         "unsealed"},
        {"unsigned, key required", SealBy(nullptr), keys12, 0, QDUPKERR_UNSEALED,
         QDUPK_SEAL_UNSIGNED, -1, "unsigned"},
        {"unknown key", SealBy(&stranger_), Keys({&key1_}), 0, QDUPKERR_UNKNOWNKEY,
         QDUPK_SEAL_SIGNED, -1, "unknown key"},
        {"signature damaged", SealBy(&key2_, flip(sealAt + 100)), keys12, 0, QDUPKERR_SIGNATURE,
         QDUPK_SEAL_SIGNED, -1, "does not verify"},
        {"counter raised after signing", SealBy(&key1_, flip(sealAt + 17)), keys12, kCounter + 1,
         QDUPKERR_SIGNATURE, QDUPK_SEAL_SIGNED, -1, "does not verify"},
        {"rollback", SealBy(&key1_), keys12, kCounter + 1, QDUPKERR_ROLLBACK, QDUPK_SEAL_SIGNED, 0,
         "rollback"},
        {"unsealed counts as 0", Unsealed(), noKeys, 1, QDUPKERR_ROLLBACK, QDUPK_SEAL_NONE, -1,
         "rollback"},
        {"end record broken", SealBy(&key1_, flip(sealAt - 20)), keys12, 0, QDUPKERR_INVALIDPKG,
         QDUPK_SEAL_NONE, -1, "invalid update pkg"},
    };
    for (const Case& c : cases) {
        const std::string bytes = Sealed(c.plan);
        WritePackage(bytes);
        const std::vector<unsigned char> prefix = PrefixDigest(bytes);
        unsigned char id[qdpkg::kKeyIdSize]{};
        if (c.state == QDUPK_SEAL_SIGNED) {
            qdpkg::KeyIdOf(c.plan.signer->publicKey(), id);
        }
        const std::uint64_t counter =
            c.state == QDUPK_SEAL_NONE
                ? 0
                : qd::LoadLe32(reinterpret_cast<const unsigned char*>(&bytes[sealAt + 16]));
        for (const unsigned char* given : {static_cast<const unsigned char*>(nullptr),
                                           static_cast<const unsigned char*>(prefix.data())}) {
            SCOPED_TRACE(std::string(c.name) + (given != nullptr ? " (given digest)" : ""));
            QDUPK_SEALINFO_T info;
            std::memset(&info, 0x5A, sizeof info);
            EXPECT_EQ(Check(c.keys, c.minCounter, given, &info), c.code);
            EXPECT_EQ(info.emState, c.state);
            EXPECT_EQ(info.nKeyIndex, c.keyIndex);
            EXPECT_EQ(info.nCounter, counter);
            EXPECT_EQ(0, std::memcmp(info.byKeyId, id, sizeof id));
            const std::vector<std::string> errors = Errors(messages_);
            if (c.code == 0) {
                EXPECT_TRUE(errors.empty()) << errors.front();
            } else if (errors.empty()) {
                ADD_FAILURE() << "refused without an error line";
            } else {
                EXPECT_NE(errors.back().find(c.error), std::string::npos) << errors.back();
            }
        }
    }
}

// A small-order key among the given ones takes no seal, even one forged
// for it, and is named as the reason; the other key still works.
TEST_F(SealCheckTest, ASmallOrderKeyTakesNoSealAndTheOtherKeyStillDoes) {
    const ByteVector forged = ForgedSignature();
    for (const char* hex : {kWeakKeys[0], kWeakKeys[1], kWeakKeys[2], kWeakKeys[3]}) {
        SCOPED_TRACE(hex);
        const ByteVector weak = FromHex(hex);
        std::vector<unsigned char> keys = Keys({&key1_});
        keys.insert(keys.begin(), weak.begin(), weak.end());
        WritePackage(Sealed(SealBy(nullptr, nullptr, [&](qdpkg::SealRecord& r) {
            qdpkg::KeyIdOf(weak.data(), r.keyId);
            std::copy(forged.begin(), forged.end(), r.signature);
        })));
        QDUPK_SEALINFO_T info;
        EXPECT_EQ(Check(keys, 0, nullptr, &info), QDUPKERR_WEAKKEY);
        EXPECT_EQ(info.nKeyIndex, -1);
        const std::vector<std::string> errors = Errors(messages_);
        ASSERT_FALSE(errors.empty());
        EXPECT_NE(errors.back().find("small-order or non-canonical"), std::string::npos)
            << errors.back();

        WritePackage(Sealed(SealBy(&key1_)));
        EXPECT_EQ(Check(keys, 0, nullptr, &info), 0);
        EXPECT_EQ(info.nKeyIndex, 1);
    }
}

TEST_F(SealCheckTest, TheGivenDigestIsTrustedInsteadOfTheFile) {
    SealPlan plan;
    plan.signer = &key1_;
    const std::string bytes = Sealed(plan);
    WritePackage(bytes);
    std::vector<unsigned char> prefix = PrefixDigest(bytes);
    prefix[0] ^= 1;
    QDUPK_SEALINFO_T info;
    EXPECT_EQ(Check(Keys({&key1_}), 0, prefix.data(), &info), QDUPKERR_SEALDIGEST);
}

TEST_F(SealCheckTest, BadArgumentsAreRefusedNotTakenAsNoKeys) {
    WritePackage(Sealed(Unsealed()));
    QDUPK_SEALINFO_T info;
    StdoutCapture capture;
    EXPECT_EQ(libqdupk_checkseal(package_.c_str(), nullptr, 1, 0, &info), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_checkseal(package_.c_str(), key1_.publicKey(), -1, 0, &info),
              QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_checkseal_digest(package_.c_str(), nullptr, nullptr, 0, 0, &info),
              QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_checkseal(scratch_.file("missing").c_str(), nullptr, 0, 0, &info),
              QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_checkseal(package_.c_str(), nullptr, 0, 0, nullptr), 0);
    capture.Finish();
}

// Stands where the daemon stores the anti-rollback counter: it sees each
// package that passed every check, and then puts another package in the
// file's place.
class SwappingGate final : public qdpkg::InstallGate {
  public:
    SwappingGate(std::string path, std::string replacement)
        : path_(std::move(path)), replacement_(std::move(replacement)) {}
    int BeforeInstall(const QDUPK_SEALINFO_T& seal,
                      const qdpkg::PackageIndex& /*index*/) noexcept override {
        counters.push_back(seal.nCounter);
        const std::string fresh = path_ + ".new";
        WriteFile(fresh, replacement_);
        return std::rename(fresh.c_str(), path_.c_str());
    }
    std::vector<std::uint64_t> counters;

  private:
    std::string path_;
    std::string replacement_;
};

// The update on a descriptor installs what it checked, whatever the file's
// name holds by then; a package refused before the gate never reaches it.
TEST_F(SealCheckTest, APackageReplacedAfterTheSealCheckIsNotWhatGetsInstalled) {
    const auto package = [](const char* data) {
        return qdupk::BuildPackage(Package({Item(QDUPK_ITEM_FILE, data)}));
    };
    WritePackage(Sealed(SealBy(&key1_), package("checked")));
    SwappingGate gate(package_, Sealed(SealBy(&key2_), package("swapped")));
    const std::vector<unsigned char> keys = Keys({&key1_});
    qdpkg::DescriptorUpdate update;
    update.szTempDir = tempDir_.c_str();
    update.seal = qdpkg::SealCheck{nullptr, keys.data(), 1, kCounter};
    update.fdCallback = RecordInstall;
    update.gate = &gate;
    StdoutCapture capture;
    const qd::UniqueFd checked(::open(package_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(checked.valid());
    qdpkg::UpdateOutcome outcome = qdpkg::UpdateFromDescriptor(checked.get(), update);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(gate.counters, std::vector<std::uint64_t>{kCounter});
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].content, "checked");

    // The file now holds the package signed by the other key.
    const qd::UniqueFd swapped(::open(package_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(swapped.valid());
    outcome = qdpkg::UpdateFromDescriptor(swapped.get(), update);
    capture.Finish();
    EXPECT_EQ(outcome.stage, qdpkg::UpdateStage::kSeal);
    EXPECT_EQ(outcome.code, QDUPKERR_UNKNOWNKEY);
    EXPECT_EQ(gate.counters.size(), 1u);
    EXPECT_EQ(calls_.size(), 1u);
}

}  // namespace
}  // namespace qdtest
