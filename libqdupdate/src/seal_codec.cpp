// The seal's byte layout, in one place for the device and the host tool.
#include <cstring>

#include "qd_bytes.h"
#include "seal.h"

namespace qdpkg {

namespace {

constexpr std::size_t kSizeOffset = 8;
constexpr std::size_t kAlgorithmOffset = 12;
constexpr std::size_t kCounterOffset = 16;
constexpr std::size_t kKeyIdOffset = 24;
constexpr std::size_t kDigestOffset = 32;
constexpr std::size_t kSignatureOffset = kSealSignedPart;

static_assert(sizeof kSealMagic == kSizeOffset);
static_assert(kKeyIdOffset + kKeyIdSize == kDigestOffset);
static_assert(kDigestOffset + kSha256Size == kSignatureOffset);
static_assert(kSignatureOffset + kEd25519SignatureSize == kSealSize);

std::uint64_t LoadLe64(const unsigned char* p) noexcept {
    return static_cast<std::uint64_t>(qd::LoadLe32(p)) |
           static_cast<std::uint64_t>(qd::LoadLe32(p + 4)) << 32;
}

void StoreLe64(unsigned char* p, std::uint64_t v) noexcept {
    qd::StoreLe32(p, static_cast<std::uint32_t>(v));
    qd::StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace

void EncodeSeal(const SealRecord& seal, unsigned char* out) noexcept {
    std::memcpy(out, kSealMagic, sizeof kSealMagic);
    qd::StoreLe32(out + kSizeOffset, seal.size);
    qd::StoreLe32(out + kAlgorithmOffset, seal.algorithm);
    StoreLe64(out + kCounterOffset, seal.counter);
    std::memcpy(out + kKeyIdOffset, seal.keyId, kKeyIdSize);
    std::memcpy(out + kDigestOffset, seal.digest, kSha256Size);
    std::memcpy(out + kSignatureOffset, seal.signature, kEd25519SignatureSize);
}

void DecodeSeal(const unsigned char* in, SealRecord* seal) noexcept {
    seal->size = qd::LoadLe32(in + kSizeOffset);
    seal->algorithm = qd::LoadLe32(in + kAlgorithmOffset);
    seal->counter = LoadLe64(in + kCounterOffset);
    std::memcpy(seal->keyId, in + kKeyIdOffset, kKeyIdSize);
    std::memcpy(seal->digest, in + kDigestOffset, kSha256Size);
    std::memcpy(seal->signature, in + kSignatureOffset, kEd25519SignatureSize);
}

bool HasSealMagic(const unsigned char* bytes, std::size_t size) noexcept {
    return size >= sizeof kSealMagic && std::memcmp(bytes, kSealMagic, sizeof kSealMagic) == 0;
}

}  // namespace qdpkg
