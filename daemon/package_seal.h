// The camera's side of sealed packages: the SHA-256 of a package taken
// while it is received, and the seal's verdict before anything of it is
// installed.
#ifndef PACKAGE_SEAL_H
#define PACKAGE_SEAL_H

#include <cstddef>
#include <cstdint>

#include "qdboot_config.h"

struct evp_md_ctx_st;

// A seal is the package's last 128 bytes and covers everything before it.
constexpr std::size_t kSealTrailerSize = 128;
constexpr std::size_t kPrefixDigestSize = 32;

// SHA-256 of every byte of a package of known size except its last
// kSealTrailerSize, fed in order as the bytes arrive. The digest is only
// used when those last bytes turn out to be a seal; a package too short to
// hold one gets the digest of whatever precedes its last 128 bytes.
class PrefixDigest {
  public:
    explicit PrefixDigest(std::uint64_t packageSize) noexcept;
    ~PrefixDigest();
    PrefixDigest(const PrefixDigest&) = delete;
    PrefixDigest& operator=(const PrefixDigest&) = delete;

    // False when the digest could not be set up or a step failed.
    bool ok() const noexcept { return ok_; }
    void Update(const unsigned char* data, std::size_t size) noexcept;
    bool Final(unsigned char* out /* kPrefixDigestSize */) noexcept;

  private:
    evp_md_ctx_st* ctx_;
    std::uint64_t hashLeft_;
    bool ok_;
};

// Checks the seal of the received package at `path` with the settings in
// `seal` (keys and stored counter) and, when it passes with a higher
// counter, stores that counter before returning, so that it is kept
// whatever happens during the install. 0: the package may be installed.
// Otherwise the seal check's QDUPKERR_* code, or -1 when the counter file
// is corrupt, unreadable or cannot be written; an error line says which.
int CheckPackageSeal(const char* path, const unsigned char* prefixSha256,
                     const SealConfig& seal) noexcept;

#endif  // PACKAGE_SEAL_H
