// The seal: an optional 128-byte trailer behind a package's end record that
// covers every byte before it with SHA-256 and, when signed, an Ed25519
// signature. Older readers never look past the end record, so a sealed
// package stays installable everywhere. Shared with the host tool, which
// writes seals with the same codec the device reads them with.
#ifndef QDUPK_SEAL_H
#define QDUPK_SEAL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "libqdupdate.h"

namespace qdpkg {

constexpr std::size_t kSealSize = QDUPK_SEAL_SIZE, kSha256Size = QDUPK_SHA256_SIZE,
                      kEd25519KeySize = QDUPK_KEY_SIZE, kKeyIdSize = QDUPK_KEYID_SIZE,
                      kEd25519SignatureSize = 64, kSealSignedPart = 64;
constexpr unsigned char kSealMagic[8] = {'Q', 'D', 'S', 'E', 'A', 'L', '0', '1'};
constexpr std::uint32_t kSealAlgorithmEd25519 = 1;

struct SealRecord {
    std::uint32_t size = kSealSize;
    std::uint32_t algorithm = kSealAlgorithmEd25519;
    std::uint64_t counter = 0;
    unsigned char keyId[kKeyIdSize]{};  // all zero when unsigned
    unsigned char digest[kSha256Size]{};
    unsigned char signature[kEd25519SignatureSize]{};  // all zero when unsigned
};

// `out` and `in` hold kSealSize bytes. Encoding writes the magic too;
// decoding leaves checking it to the caller, who found the seal by it.
void EncodeSeal(const SealRecord& seal, unsigned char* out) noexcept;
void DecodeSeal(const unsigned char* in, SealRecord* seal) noexcept;
bool HasSealMagic(const unsigned char* bytes, std::size_t size) noexcept;

// The exported streaming SHA-256 with an owner. A context that could not
// be made (out of memory) reports !ok(), ignores updates and fails Final,
// so a caller that checks only Final still never trusts a digest that was
// not computed.
class Sha256 {
  public:
    Sha256() noexcept;
    bool ok() const noexcept { return ok_; }
    void Update(const void* data, std::size_t size) noexcept;
    // Writes kSha256Size bytes; the context is spent afterwards, so that a
    // digest is never taken twice by mistake.
    bool Final(unsigned char* out) noexcept;

  private:
    struct Free {
        void operator()(QDUPK_SHA256_CTX* ctx) const noexcept { libqdupk_sha256_free(ctx); }
    };
    std::unique_ptr<QDUPK_SHA256_CTX, Free> ctx_;
    bool ok_ = false;
};

bool Sha256Of(const void* data, std::size_t size, unsigned char* out) noexcept;
// The first kKeyIdSize bytes of the SHA-256 of a kEd25519KeySize-byte key.
void KeyIdOf(const unsigned char* publicKey, unsigned char* keyId) noexcept;
// Whether an Ed25519 point encoding (a public key, or a signature's first
// 32 bytes, R) can be trusted in a verification: y below 2^255 - 19 and
// not one of the points of small order, with which anyone can make a
// signature verify. Every check of a public key goes through this.
bool StrictPointEncoding(const unsigned char* encoded) noexcept;
// Pure Ed25519; false for a bad signature, for a key or R that
// StrictPointEncoding refuses, and for any failure to check.
bool Ed25519Verify(const unsigned char* publicKey, const unsigned char* message, std::size_t size,
                   const unsigned char* signature) noexcept;

}  // namespace qdpkg

#endif  // QDUPK_SEAL_H
