// Seal checks before an install: the digest comes from the receive loop, so
// the package is not read a second time for it.
#include "package_seal.h"

#include <openssl/evp.h>

#include <algorithm>

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
    switch (ReadSealCounter(path, counter)) {
        case CounterRead::kOk:
            return true;
        case CounterRead::kCorrupt:
            QD_LOG_ERR("package refused: counter file %s is corrupt (want digits and a newline)\n",
                       path);
            return false;
        case CounterRead::kUnreadable:
            break;
    }
    QD_LOG_ERR("package refused: counter file %s cannot be read\n", path);
    return false;
}

}  // namespace

int CheckPackageSeal(const char* path, const unsigned char* prefixSha256,
                     const SealConfig& seal) noexcept {
    const bool counting = seal.szCounterFile[0] != '\0';
    std::uint64_t stored = 0;
    if (counting && !LoadStoredCounter(seal.szCounterFile, &stored)) {
        return -1;
    }
    QDUPK_SEALINFO_T info{};
    const int rc = libqdupk_checkseal_digest(
        path, prefixSha256, seal.nKeys > 0 ? seal.byKeys : nullptr, seal.nKeys, stored, &info);
    if (rc == QDUPKERR_ROLLBACK) {
        QD_LOG_ERR(
            "package refused, nothing installed: rollback: counter %llu is lower than "
            "%llu stored in %s\n",
            static_cast<unsigned long long>(info.nCounter), static_cast<unsigned long long>(stored),
            seal.szCounterFile);
        return rc;
    }
    if (rc != 0) {
        QD_LOG_ERR("package refused, nothing installed: %s (%d)\n", RefusalReason(rc), rc);
        return rc;
    }
    // An equal counter passes (a retry after a failed install) and needs no
    // write.
    if (counting && info.nCounter > stored &&
        !StoreSealCounter(seal.szCounterFile, info.nCounter)) {
        QD_LOG_ERR("package refused: its counter could not be stored\n");
        return -1;
    }
    return 0;
}
