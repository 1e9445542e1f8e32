// The camera's side of sealed packages: the SHA-256 of a package taken
// while it is received, and the seal's verdict before anything of it is
// installed.
#ifndef PACKAGE_SEAL_H
#define PACKAGE_SEAL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "libqdupdate.h"
#include "qdboot_config.h"

// SHA-256 of every byte of a package of known size except its last
// QDUPK_SEAL_SIZE (a seal covers everything before it), fed in order as the
// bytes arrive. The digest is only used when those last bytes turn out to
// be a seal; a package too short to hold one gets the digest of whatever
// precedes its last 128 bytes. The last bytes are kept, so the whole
// file's digest (an unsealed package's identity) costs one more block at
// the end, not a second pass.
class PrefixDigest {
  public:
    explicit PrefixDigest(std::uint64_t packageSize) noexcept;

    // False when the digest could not be set up or a step failed.
    bool ok() const noexcept { return ok_; }
    void Update(const unsigned char* data, std::size_t size) noexcept;
    // Both digests, QDUPK_SHA256_SIZE bytes each: before the last 128
    // bytes, and of the whole file.
    bool Final(unsigned char* prefix, unsigned char* whole) noexcept;

  private:
    struct Free {
        void operator()(QDUPK_SHA256_CTX* ctx) const noexcept { libqdupk_sha256_free(ctx); }
    };
    std::unique_ptr<QDUPK_SHA256_CTX, Free> ctx_;
    std::uint64_t hashLeft_;
    unsigned char tail_[QDUPK_SEAL_SIZE];
    std::size_t tailGot_ = 0;
    bool ok_;
};

// False, after an error line saying why, while the seal settings refuse
// every upload: a configuration slip, or keys configured of which none is
// usable. Such an upload is refused before anything of it is received.
bool SealSettingsAllowUploads(const SealConfig& seal) noexcept;

// What an upload's seal is checked against: the keys of every slot that
// holds one (usable or not, so a package signed by an unusable one is
// refused by name) and the lowest counter taken.
struct SealPlan {
    unsigned char keys[kMaxSealKeys * QDUPK_KEY_SIZE];
    int nKeys;
    std::uint64_t stored;     // the lowest counter taken: 0 without any
    std::uint64_t inFile;     // what the counter file holds (0 without one)
    const char* counterFile;  // null: no counter file is kept
    bool fromJournal;         // `stored` is the boot journal's, above the file's
};

// The recovery system's stricter counter: a missing counter file refuses
// every upload, and the boot journal's committed counter (qd_counter) is a
// floor beside the file's.
struct CounterRules {
    bool fileMustExist;
    std::uint64_t committed;
};

// The plan for one upload. False, after an error line saying why, when the
// seal settings refuse every upload or the counter file is corrupt or
// cannot be read (never taken as 0: that would let any older package in).
bool PlanSealCheck(const SealConfig& seal, SealPlan* plan) noexcept;
bool PlanSealCheck(const SealConfig& seal, const CounterRules& rules, SealPlan* plan) noexcept;

// The error line for a package the seal check refused with `code`.
void ReportSealRefusal(int code, const QDUPK_SEALINFO_T& info, const SealPlan& plan) noexcept;

// Stores the counter of a package whose checks have all passed, before
// the first install effect. An equal counter passes (a retry after a
// failed install) and needs no write. False, after an error line, when it
// could not be stored: nothing is installed then.
bool StoreCounterOf(const SealPlan& plan, const QDUPK_SEALINFO_T& info) noexcept;

// At start-up: an error line for each key slot that takes nothing (naming
// the slot) and one for a configuration slip (naming the section or key).
void ReportSealProblems(const SealConfig& seal) noexcept;

// What the seal settings demand of uploads, for the start-up line: that
// packages must be signed, by which key ids, and the stored counter; or
// that seals are optional; or that every upload is refused. Cut to `size`.
void DescribeSealPolicy(const SealConfig& seal, char* text, std::size_t size) noexcept;

#endif  // PACKAGE_SEAL_H
