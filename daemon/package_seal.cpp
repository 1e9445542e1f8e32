// Seal checks before an install: the digest comes from the receive loop, so
// the package is not read a second time for it.
#include "package_seal.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "libqdupdate.h"
#include "qd_log.h"
#include "seal_counter.h"

PrefixDigest::PrefixDigest(std::uint64_t packageSize) noexcept
    : ctx_(EVP_MD_CTX_new()),
      hashLeft_(packageSize > kSealTrailerSize ? packageSize - kSealTrailerSize : 0),
      ok_(ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1) {}

PrefixDigest::~PrefixDigest() {
    EVP_MD_CTX_free(ctx_);
}

void PrefixDigest::Update(const unsigned char* data, std::size_t size) noexcept {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, hashLeft_));
    if (!ok_ || take == 0) {
        return;
    }
    hashLeft_ -= take;
    ok_ = EVP_DigestUpdate(ctx_, data, take) == 1;
}

bool PrefixDigest::Final(unsigned char* out) noexcept {
    unsigned int size = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(ctx_, out, &size) == 1 && size == kPrefixDigestSize;
    return ok_;
}

namespace {

CounterStoreScope* s_counterScope = nullptr;

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
bool LoadStoredCounter(const char* path, std::uint64_t* counter) noexcept {
    const CounterRead read = ReadSealCounter(path, counter);
    if (read != CounterRead::kOk) {
        QD_LOG_ERR("package refused: counter file %s %s\n", path, CounterReadProblem(read));
    }
    return read == CounterRead::kOk;
}

// The keys handed to the seal check: every slot holding a key, usable or
// not, so that a package signed by an unusable one is refused by name.
int GatherKeys(const SealConfig& seal, unsigned char* keys) noexcept {
    int count = 0;
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        const SealKeySlot state = seal.emSlots[slot];
        if (state == SealKeySlot::kUsable || state == SealKeySlot::kWeak) {
            std::memcpy(keys + static_cast<std::size_t>(count++) * kSealKeySize,
                        seal.byKeys + static_cast<std::size_t>(slot) * kSealKeySize, kSealKeySize);
        }
    }
    return count;
}

int RunSealCheck(const char* path, const unsigned char* prefixSha256, const SealConfig& seal,
                 std::uint64_t stored, QDUPK_SEALINFO_T* info) noexcept {
    unsigned char keys[kMaxSealKeys * kSealKeySize];
    const int nKeys = GatherKeys(seal, keys);
    const int rc = libqdupk_checkseal_digest(path, prefixSha256, nKeys > 0 ? keys : nullptr, nKeys,
                                             stored, info);
    if (rc == QDUPKERR_ROLLBACK) {
        QD_LOG_ERR(
            "package refused, nothing installed: rollback: counter %llu is lower than "
            "%llu stored in %s\n",
            static_cast<unsigned long long>(info->nCounter),
            static_cast<unsigned long long>(stored), seal.szCounterFile);
    } else if (rc != 0) {
        QD_LOG_ERR("package refused, nothing installed: %s (%d)\n", RefusalReason(rc), rc);
    }
    return rc;
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

int CheckPackageSeal(const char* path, const unsigned char* prefixSha256, const SealConfig& seal,
                     PendingCounter* pending) noexcept {
    *pending = PendingCounter{};
    // The library takes no keys as "no signature needed": never hand it none
    // while slots are configured.
    if (!SealSettingsAllowUploads(seal)) {
        return -1;
    }
    const bool counting = seal.szCounterFile[0] != '\0';
    std::uint64_t stored = 0;
    if (counting && !LoadStoredCounter(seal.szCounterFile, &stored)) {
        return -1;
    }
    QDUPK_SEALINFO_T info{};
    const int rc = RunSealCheck(path, prefixSha256, seal, stored, &info);
    // An equal counter passes (a retry after a failed install) and needs no
    // write.
    if (rc == 0 && counting && info.nCounter > stored) {
        *pending = PendingCounter{seal.szCounterFile, info.nCounter};
    }
    return rc;
}

CounterStoreScope::CounterStoreScope(const PendingCounter& pending) noexcept
    : pending_(pending), stored_(pending.path == nullptr ? 1 : 0), previous_(s_counterScope) {
    s_counterScope = this;
}

CounterStoreScope::~CounterStoreScope() {
    s_counterScope = previous_;
}

bool CounterStoreScope::StoreOnce() noexcept {
    if (stored_ == 0) {
        stored_ = StoreSealCounter(pending_.path, pending_.value) ? 1 : -1;
        if (stored_ < 0) {
            QD_LOG_ERR("package refused, nothing installed: its counter could not be stored\n");
        }
    }
    return stored_ > 0;
}

int CounterStoreScope::Settle(int updateResult) noexcept {
    if (updateResult != 0) {
        return updateResult;
    }
    return StoreOnce() ? 0 : -1;
}

int qdboot_storecounter_checkcb(const char* /*szFileName*/, const char* /*szDstFileName*/,
                                QDUPK_ITEM_TYPE /*emType*/, const char* /*szDevID*/,
                                const char* /*szDesc*/) noexcept {
    return s_counterScope != nullptr && s_counterScope->StoreOnce() ? 0 : -1;
}
