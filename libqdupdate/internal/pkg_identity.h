// A package's identity: what the boot journal records, what the camera
// reports and what the host tool shows, so one string names one package
// everywhere. It is the first 16 hex digits of the SHA-256 of every byte
// before the seal (the digest the seal itself carries), or of the whole
// file for a package without a seal.
#ifndef QDUPK_PKG_IDENTITY_H
#define QDUPK_PKG_IDENTITY_H

#include <cstddef>

#include "qd_hex.h"

namespace qdpkg {

constexpr std::size_t kPackageIdentityDigits = 16;

// `out` holds kPackageIdentityDigits + 1 characters; lower-case digits.
inline void FormatPackageIdentity(const unsigned char* sha256, char* out) noexcept {
    static_cast<void>(
        qd::FormatHex(sha256, kPackageIdentityDigits / 2, out, kPackageIdentityDigits + 1));
}

}  // namespace qdpkg

#endif  // QDUPK_PKG_IDENTITY_H
