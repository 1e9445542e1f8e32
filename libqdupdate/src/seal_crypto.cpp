// SHA-256 and Ed25519 through OpenSSL's EVP interface: the device never
// carries cryptography of its own making.
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "seal.h"

namespace qdpkg {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CtxPtr = std::unique_ptr<EVP_MD_CTX, CtxFree>;

// The eight points of small order (8P is the neutral point) have five y
// values; as the widely published table lists them, with the sign bit
// cleared, these are their encodings, followed by y = p and y = p + 1, the
// second encodings of y = 0 and y = 1 (which the canonical check refuses
// too). A key or an R among them lets a signature with S = 0 verify for
// many or all messages, without any private key.
constexpr std::size_t kPointSize = 32;
constexpr unsigned char kSmallOrderPoints[][kPointSize] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
};

// 2^255 - 19, little-endian: a y at or above it has a second encoding.
constexpr unsigned char kFieldPrime[kPointSize] = {
    0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

constexpr unsigned char kSignBit = 0x80;

// The byte at `i` of the encoded y, the sign of x (the top bit) left out.
unsigned char YByte(const unsigned char* encoded, std::size_t i) noexcept {
    return i == kPointSize - 1 ? static_cast<unsigned char>(encoded[i] & ~kSignBit) : encoded[i];
}

bool CanonicalY(const unsigned char* encoded) noexcept {
    for (std::size_t i = kPointSize; i-- > 0;) {
        if (YByte(encoded, i) != kFieldPrime[i]) {
            return YByte(encoded, i) < kFieldPrime[i];
        }
    }
    return false;  // y equals p
}

bool HasSmallOrder(const unsigned char* encoded) noexcept {
    for (const auto& point : kSmallOrderPoints) {
        bool same = true;
        for (std::size_t i = 0; i < kPointSize; ++i) {
            same = same && YByte(encoded, i) == point[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool StrictPointEncoding(const unsigned char* encoded) noexcept {
    return CanonicalY(encoded) && !HasSmallOrder(encoded);
}

Sha256::Sha256() noexcept : ctx_(libqdupk_sha256_create()), ok_(ctx_ != nullptr) {}

void Sha256::Update(const void* data, std::size_t size) noexcept {
    if (ok_ && size > 0) {
        ok_ = libqdupk_sha256_update(ctx_.get(), data, size) == 0;
    }
}

bool Sha256::Final(unsigned char* out) noexcept {
    const bool done = ok_ && libqdupk_sha256_final(ctx_.get(), out) == 0;
    ok_ = false;
    return done;
}

bool Sha256Of(const void* data, std::size_t size, unsigned char* out) noexcept {
    Sha256 hash;
    hash.Update(data, size);
    return hash.Final(out);
}

// Should hashing fail, the id stays all zero, which no signed seal may
// carry, so it can never match one.
void KeyIdOf(const unsigned char* publicKey, unsigned char* keyId) noexcept {
    unsigned char digest[kSha256Size]{};
    if (!Sha256Of(publicKey, kEd25519KeySize, digest)) {
        std::memset(digest, 0, sizeof digest);
    }
    std::memcpy(keyId, digest, kKeyIdSize);
}

// OpenSSL checks S against the group order, but takes any key and any R:
// those it would let through are refused here first.
bool Ed25519Verify(const unsigned char* publicKey, const unsigned char* message, std::size_t size,
                   const unsigned char* signature) noexcept {
    if (!StrictPointEncoding(publicKey) || !StrictPointEncoding(signature)) {
        return false;
    }
    const PkeyPtr key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, kEd25519KeySize));
    const CtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), signature, kEd25519SignatureSize, message, size) == 1;
}

}  // namespace qdpkg
