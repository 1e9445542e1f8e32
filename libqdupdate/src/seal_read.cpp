// Checking a package's seal from the index of the one walk: the trailer
// and the SHA-256 before it were taken there, so nothing is read here.
#include <cinttypes>
#include <cstring>

#include "pkg_steps.h"
#include "seal.h"

namespace qdpkg {

namespace {

// What the trailer holds, as far as it was read.
struct Trailer {
    bool sealed = false;
    SealRecord seal;
    unsigned char raw[kSealSize]{};
};

bool AllZero(const unsigned char* bytes, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// A refusal of the seal check: the fault record says why, and the caller
// words it.
int Refuse(Fault& fault, int code, SealProblem problem) noexcept {
    fault.seal = problem;
    return code;
}

// Bytes that do not start with the magic keep their old meaning (ignored);
// bytes that do must be a whole, consistent seal and nothing else.
int ReadTrailer(const PackageIndex& index, Trailer* trailer, Fault& fault) noexcept {
    const std::uint64_t trailing = index.fileSize - index.endOffset;
    fault.trailing = trailing;
    if (trailing < sizeof kSealMagic) {
        return 0;
    }
    if (index.trailerGot < sizeof kSealMagic) {
        return Refuse(fault, QDUPKERR_INVALIDPKG, SealProblem::kTrailerUnreadable);
    }
    if (!HasSealMagic(index.trailer, sizeof kSealMagic)) {
        return 0;
    }
    if (trailing != kSealSize) {
        return Refuse(fault, QDUPKERR_SEALFORMAT, SealProblem::kTrailingBytes);
    }
    if (index.trailerGot != kSealSize) {
        return Refuse(fault, QDUPKERR_INVALIDPKG, SealProblem::kTrailerUnreadable);
    }
    std::memcpy(trailer->raw, index.trailer, kSealSize);
    DecodeSeal(trailer->raw, &trailer->seal);
    trailer->sealed = true;
    return 0;
}

int CheckSealFields(const SealRecord& seal, Fault& fault) noexcept {
    fault.sealSize = seal.size;
    fault.sealAlgorithm = seal.algorithm;
    if (seal.size != kSealSize || seal.algorithm != kSealAlgorithmEd25519) {
        return Refuse(fault, QDUPKERR_SEALFORMAT, SealProblem::kFields);
    }
    // Half a signature is neither signed nor unsigned: a damaged or forged
    // seal, never one to wave through as unsigned.
    if (AllZero(seal.keyId, kKeyIdSize) != AllZero(seal.signature, kEd25519SignatureSize)) {
        return Refuse(fault, QDUPKERR_SEALFORMAT, SealProblem::kHalfSigned);
    }
    return 0;
}

void NoteSeal(const SealRecord& seal, QDUPK_SEALINFO_T* info) noexcept {
    const bool isSigned = !AllZero(seal.keyId, kKeyIdSize);
    info->emState = isSigned ? QDUPK_SEAL_SIGNED : QDUPK_SEAL_UNSIGNED;
    info->nCounter = seal.counter;
    if (isSigned) {
        std::memcpy(info->byKeyId, seal.keyId, kKeyIdSize);
    }
}

// A digest handed in was taken by the caller; otherwise the walk took it,
// unless the file did not end in a seal when the walk began.
int CheckDigest(const PackageIndex& index, const unsigned char* given, const SealRecord& seal,
                Fault& fault) noexcept {
    if (given == nullptr && !index.digested) {
        return Refuse(fault, QDUPKERR_INVALIDPKG, SealProblem::kDigestUnreadable);
    }
    if (std::memcmp(given != nullptr ? given : index.prefixDigest, seal.digest, kSha256Size) != 0) {
        return Refuse(fault, QDUPKERR_SEALDIGEST, SealProblem::kDigest);
    }
    return 0;
}

// Ids are short, so two given keys may share one: any key carrying the id
// whose signature verifies is the signer. A key that can verify nothing
// (StrictPointEncoding) is named as such rather than as a bad signature.
int CheckSignature(const Trailer& trailer, const unsigned char* keys, int nKeys,
                   QDUPK_SEALINFO_T* info, Fault& fault) noexcept {
    bool known = false;
    bool usable = false;
    for (int i = 0; i < nKeys; ++i) {
        const unsigned char* key = keys + static_cast<std::size_t>(i) * kEd25519KeySize;
        unsigned char id[kKeyIdSize];
        KeyIdOf(key, id);
        if (std::memcmp(id, trailer.seal.keyId, kKeyIdSize) != 0) {
            continue;
        }
        known = true;
        usable = usable || StrictPointEncoding(key);
        if (Ed25519Verify(key, trailer.raw, kSealSignedPart, trailer.seal.signature)) {
            info->nKeyIndex = i;
            return 0;
        }
    }
    if (!known) {
        return Refuse(fault, QDUPKERR_UNKNOWNKEY, SealProblem::kUnknownKey);
    }
    return usable ? Refuse(fault, QDUPKERR_SIGNATURE, SealProblem::kSignature)
                  : Refuse(fault, QDUPKERR_WEAKKEY, SealProblem::kWeakKey);
}

int CheckKeys(const Trailer& trailer, const unsigned char* keys, int nKeys, QDUPK_SEALINFO_T* info,
              Fault& fault) noexcept {
    if (nKeys == 0) {
        return 0;
    }
    if (info->emState != QDUPK_SEAL_SIGNED) {
        return Refuse(fault, QDUPKERR_UNSEALED, SealProblem::kUnsigned);
    }
    return CheckSignature(trailer, keys, nKeys, info, fault);
}

int CheckCounter(const QDUPK_SEALINFO_T& info, std::uint64_t minCounter, Fault& fault) noexcept {
    fault.minCounter = minCounter;
    if (info.nCounter < minCounter) {
        return Refuse(fault, QDUPKERR_ROLLBACK, SealProblem::kRollback);
    }
    return 0;
}

int CheckSealedTrailer(const PackageIndex& index, const unsigned char* givenDigest,
                       const Trailer& trailer, QDUPK_SEALINFO_T* info, Fault& fault) noexcept {
    int ret = CheckSealFields(trailer.seal, fault);
    if (ret == 0) {
        NoteSeal(trailer.seal, info);
        ret = CheckDigest(index, givenDigest, trailer.seal, fault);
    }
    return ret;
}

int CheckTrailer(const PackageIndex& index, const SealCheck& check, QDUPK_SEALINFO_T* pInfo,
                 Fault& fault) noexcept {
    Trailer trailer;
    int ret = ReadTrailer(index, &trailer, fault);
    if (ret == 0 && trailer.sealed) {
        ret = CheckSealedTrailer(index, check.prefixDigest, trailer, pInfo, fault);
    }
    if (ret == 0) {
        ret = CheckKeys(trailer, check.keys, check.nKeys, pInfo, fault);
    }
    return ret != 0 ? ret : CheckCounter(*pInfo, check.minCounter, fault);
}

}  // namespace

int JudgeSeal(const PackageIndex& index, const SealCheck& check, QDUPK_SEALINFO_T* pInfo,
              Report& report) noexcept {
    *pInfo = QDUPK_SEALINFO_T{QDUPK_SEAL_NONE, 0, {}, -1};
    report.fault = Fault{};
    const int ret = CheckTrailer(index, check, pInfo, report.fault);
    return ret != 0 ? Fail(report, ret, FaultPart::kSeal, FaultKind::kRefused) : 0;
}

}  // namespace qdpkg
