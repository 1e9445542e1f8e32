// Seal checks before an install: the digest comes from the receive loop, so
// the package is not read a second time for it.
#include "package_seal.h"

#include <algorithm>
#include <cstring>

#include "libqdupdate.h"
#include "qd_log.h"
#include "seal_counter.h"

PrefixDigest::PrefixDigest(std::uint64_t packageSize) noexcept
    : ctx_(libqdupk_sha256_create()),
      hashLeft_(packageSize > QDUPK_SEAL_SIZE ? packageSize - QDUPK_SEAL_SIZE : 0),
      ok_(ctx_ != nullptr) {}

void PrefixDigest::Update(const unsigned char* data, std::size_t size) noexcept {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, hashLeft_));
    const std::size_t rest = std::min(size - take, sizeof tail_ - tailGot_);
    std::memcpy(tail_ + tailGot_, data + take, rest);
    tailGot_ += rest;
    if (!ok_ || take == 0) {
        return;
    }
    hashLeft_ -= take;
    ok_ = libqdupk_sha256_update(ctx_.get(), data, take) == 0;
}

// The context goes on after the prefix's digest, so the whole file's costs
// only the kept tail.
bool PrefixDigest::Final(unsigned char* prefix, unsigned char* whole) noexcept {
    ok_ = ok_ && libqdupk_sha256_final(ctx_.get(), prefix) == 0 &&
          libqdupk_sha256_update(ctx_.get(), tail_, tailGot_) == 0 &&
          libqdupk_sha256_final(ctx_.get(), whole) == 0;
    return ok_;
}

namespace {

struct Refusal {
    int code;
    const char* reason;
};

constexpr Refusal kRefusals[] = {
    {QDUPKERR_OPENFILE, "the package file cannot be opened"},
    {QDUPKERR_INVALIDPKG, "the package's records are broken"},
    {QDUPKERR_UNSEALED, "not sealed and signed by a configured key"},
    {QDUPKERR_SEALFORMAT, "malformed seal"},
    {QDUPKERR_SEALDIGEST, "the seal's digest does not match the package"},
    {QDUPKERR_UNKNOWNKEY, "signed by a key that is not configured"},
    {QDUPKERR_SIGNATURE, "the signature does not verify"},
    {QDUPKERR_WEAKKEY,
     "signed by a configured key that takes nothing (small-order or not canonical)"},
};

const char* RefusalReason(int code) noexcept {
    for (const Refusal& refusal : kRefusals) {
        if (refusal.code == code) {
            return refusal.reason;
        }
    }
    return "the seal check failed";
}

// Never taken as 0 when it cannot be read: that would let any older
// package back in.
bool LoadStoredCounter(const char* path, bool mustExist, std::uint64_t* counter) noexcept {
    const CounterRead read =
        mustExist ? ReadExistingSealCounter(path, counter) : ReadSealCounter(path, counter);
    if (read != CounterRead::kOk) {
        QD_LOG_ERR("package refused: counter file %s %s\n", path, CounterReadProblem(read));
    }
    return read == CounterRead::kOk;
}

int GatherKeys(const SealConfig& seal, unsigned char* keys) noexcept {
    int count = 0;
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        const SealKeySlot state = seal.emSlots[slot];
        if (state == SealKeySlot::kUsable || state == SealKeySlot::kWeak) {
            std::memcpy(keys + static_cast<std::size_t>(count++) * QDUPK_KEY_SIZE,
                        seal.byKeys + static_cast<std::size_t>(slot) * QDUPK_KEY_SIZE,
                        QDUPK_KEY_SIZE);
        }
    }
    return count;
}

}  // namespace

bool SealSettingsAllowUploads(const SealConfig& seal) noexcept {
    if (seal.szSlip[0] != '\0') {
        QD_LOG_ERR("upload refused: configuration slip: %s\n", seal.szSlip);
        return false;
    }
    if (SealKeysConfigured(seal) && !SealHasUsableKey(seal)) {
        QD_LOG_ERR("upload refused: no key in [seal] is usable\n");
        return false;
    }
    return true;
}

bool PlanSealCheck(const SealConfig& seal, SealPlan* plan) noexcept {
    return PlanSealCheck(seal, CounterRules{false, 0}, plan);
}

bool PlanSealCheck(const SealConfig& seal, const CounterRules& rules, SealPlan* plan) noexcept {
    *plan = SealPlan{{}, 0, 0, 0, nullptr, false};
    // The library takes no keys as "no signature needed": never hand it none
    // while slots are configured.
    if (!SealSettingsAllowUploads(seal)) {
        return false;
    }
    if (seal.szCounterFile[0] != '\0') {
        plan->counterFile = seal.szCounterFile;
        if (!LoadStoredCounter(seal.szCounterFile, rules.fileMustExist, &plan->inFile)) {
            return false;
        }
    }
    plan->fromJournal = rules.committed > plan->inFile;
    plan->stored = plan->fromJournal ? rules.committed : plan->inFile;
    plan->nKeys = GatherKeys(seal, plan->keys);
    return true;
}

void ReportSealRefusal(int code, const QDUPK_SEALINFO_T& info, const SealPlan& plan) noexcept {
    if (code == QDUPKERR_ROLLBACK && plan.fromJournal) {
        QD_LOG_ERR(
            "package refused, nothing installed: rollback: counter %llu is lower than "
            "%llu committed in the boot journal (qd_counter)\n",
            static_cast<unsigned long long>(info.nCounter),
            static_cast<unsigned long long>(plan.stored));
    } else if (code == QDUPKERR_ROLLBACK) {
        QD_LOG_ERR(
            "package refused, nothing installed: rollback: counter %llu is lower than "
            "%llu stored in %s\n",
            static_cast<unsigned long long>(info.nCounter),
            static_cast<unsigned long long>(plan.stored),
            plan.counterFile != nullptr ? plan.counterFile : "");
    } else {
        QD_LOG_ERR("package refused, nothing installed: %s (%d)\n", RefusalReason(code), code);
    }
}

bool StoreCounterOf(const SealPlan& plan, const QDUPK_SEALINFO_T& info) noexcept {
    if (plan.counterFile == nullptr || info.nCounter <= plan.inFile) {
        return true;
    }
    if (!StoreSealCounter(plan.counterFile, info.nCounter)) {
        QD_LOG_ERR("package refused, nothing installed: its counter could not be stored\n");
        return false;
    }
    return true;
}
