// A package's identity: what the boot journal records, what the camera
// reports and what the host tool shows, so one string names one package
// everywhere. It is the first 16 hex digits of the SHA-256 of every byte
// before the seal (the digest the seal itself carries), or of the whole
// file for a package without a seal.
#ifndef QDUPK_PKG_IDENTITY_H
#define QDUPK_PKG_IDENTITY_H

#include <cstddef>

namespace qdupk {

constexpr std::size_t kPackageIdentityDigits = 16;

// `out` holds kPackageIdentityDigits + 1 characters; lower-case digits.
inline void FormatPackageIdentity(const unsigned char* sha256, char* out) noexcept {
    constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kPackageIdentityDigits / 2; ++i) {
        out[2 * i] = kDigits[sha256[i] >> 4U];
        out[2 * i + 1] = kDigits[sha256[i] & 0x0FU];
    }
    out[kPackageIdentityDigits] = '\0';
}

}  // namespace qdupk

#endif  // QDUPK_PKG_IDENTITY_H
