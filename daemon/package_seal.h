// The camera's side of sealed packages: the SHA-256 of a package taken
// while it is received, and the seal's verdict before anything of it is
// installed.
#ifndef PACKAGE_SEAL_H
#define PACKAGE_SEAL_H

#include <cstddef>
#include <cstdint>

#include "libqdupdate.h"
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

// False, after an error line saying why, while the seal settings refuse
// every upload: a configuration slip, or keys configured of which none is
// usable. Such an upload is refused before anything of it is received.
bool SealSettingsAllowUploads(const SealConfig& seal) noexcept;

// A counter that a passed seal check leaves to be stored.
struct PendingCounter {
    const char* path = nullptr;  // null: nothing to store
    std::uint64_t value = 0;
};

// Checks the seal of the received package at `path` with the settings in
// `seal` (keys and stored counter). 0: the package may be installed, and
// *pending says which counter to store before the first install effect
// (see CounterStoreScope). Otherwise the seal check's QDUPKERR_* code, or
// -1 when the counter file is corrupt or cannot be read; an error line says
// which.
int CheckPackageSeal(const char* path, const unsigned char* prefixSha256, const SealConfig& seal,
                     PendingCounter* pending) noexcept;

// The counter of a package is stored after the package library has
// verified every item and checked that they fit, and before it writes the
// first one: at the first call of its check callback (which carries no
// context, so the counter is lent to it for the span of one
// libqdupk_updatecheck call, like the settings of the install callback).
// A package refused before that point leaves the counter as it was.
class CounterStoreScope {
  public:
    explicit CounterStoreScope(const PendingCounter& pending) noexcept;
    ~CounterStoreScope();
    CounterStoreScope(const CounterStoreScope&) = delete;
    CounterStoreScope& operator=(const CounterStoreScope&) = delete;

    // The upload's result from libqdupk_updatecheck's: a store that failed
    // (every item was then declined) fails the upload with -1. The library
    // refuses packages without items, so the callback is asked before
    // anything is installed; were it ever not, the counter is stored here,
    // before the acknowledgement and the reboot.
    int Settle(int updateResult) noexcept;
    // Stores the counter the first time; true while it is stored.
    bool StoreOnce() noexcept;

  private:
    PendingCounter pending_;
    int stored_;  // 1 stored (or nothing to store), 0 not yet, -1 failed
    CounterStoreScope* previous_;
};

// Check callback for libqdupk_updatecheck inside a CounterStoreScope: 0
// once the counter is stored; non-zero (the item is declined) when it could
// not be, or outside every scope.
int qdboot_storecounter_checkcb(const char* szFileName, const char* szDstFileName,
                                QDUPK_ITEM_TYPE emType, const char* szDevID,
                                const char* szDesc) noexcept;

// At start-up: an error line for each key slot that takes nothing (naming
// the slot) and one for a configuration slip (naming the section or key).
void ReportSealProblems(const SealConfig& seal) noexcept;

// What the seal settings demand of uploads, for the start-up line: that
// packages must be signed, by which key ids, and the stored counter; or
// that seals are optional; or that every upload is refused. Cut to `size`.
void DescribeSealPolicy(const SealConfig& seal, char* text, std::size_t size) noexcept;

#endif  // PACKAGE_SEAL_H
