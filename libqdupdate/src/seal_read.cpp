// Finding and checking a package's seal. The records are walked by the
// package reader's own steps; item data is skipped, not read, because the
// seal's digest covers it and an update checks its MD5s anyway.
#include <sys/stat.h>

#include <cinttypes>
#include <cstring>

#include "pkg_steps.h"
#include "seal.h"

namespace qdupk {

namespace {

int SkipItems(std::FILE* fp, std::int32_t nItems, Report& report) noexcept {
    for (std::int32_t i = 0; i < nItems; ++i) {
        QDUPK_PKTITEM_T item;
        const int ret = ReadItemHead(fp, i, &item, report);
        if (ret != 0) {
            return ret;
        }
        // A seek past the end succeeds; the next read then comes up short.
        if (fseeko(fp, static_cast<off_t>(item.nDataSize), SEEK_CUR) != 0) {
            QDUPK_REPORT_ERR(report, "item data of item %d cannot be skipped\n", i);
            return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kShort, i);
        }
    }
    return 0;
}

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

bool ReadAt(std::FILE* fp, std::uint64_t offset, unsigned char* out, std::size_t size) noexcept {
    return SeekTo(fp, static_cast<off_t>(offset)) && std::fread(out, 1, size, fp) == size;
}

// Bytes that do not start with the magic keep their old meaning (ignored);
// bytes that do must be a whole, consistent seal and nothing else.
int ReadTrailer(std::FILE* fp, std::uint64_t end, std::uint64_t fileSize,
                Trailer* trailer) noexcept {
    const std::uint64_t trailing = fileSize - end;
    if (trailing < sizeof kSealMagic) {
        return 0;
    }
    if (!ReadAt(fp, end, trailer->raw, sizeof kSealMagic)) {
        QD_LOG_ERR("package trailer cannot be read\n");
        return QDUPKERR_INVALIDPKG;
    }
    if (!HasSealMagic(trailer->raw, sizeof kSealMagic)) {
        return 0;
    }
    if (trailing != kSealSize) {
        QD_LOG_ERR("seal malformed: %" PRIu64 " bytes follow the end record, not %u\n", trailing,
                   static_cast<unsigned>(kSealSize));
        return QDUPKERR_SEALFORMAT;
    }
    if (!ReadAt(fp, end, trailer->raw, kSealSize)) {
        QD_LOG_ERR("package trailer cannot be read\n");
        return QDUPKERR_INVALIDPKG;
    }
    DecodeSeal(trailer->raw, &trailer->seal);
    trailer->sealed = true;
    return 0;
}

int CheckSealFields(const SealRecord& seal) noexcept {
    if (seal.size != kSealSize || seal.algorithm != kSealAlgorithmEd25519) {
        QD_LOG_ERR("seal malformed: size %u, algorithm %u\n", static_cast<unsigned>(seal.size),
                   static_cast<unsigned>(seal.algorithm));
        return QDUPKERR_SEALFORMAT;
    }
    // Half a signature is neither signed nor unsigned: a damaged or forged
    // seal, never one to wave through as unsigned.
    if (AllZero(seal.keyId, kKeyIdSize) != AllZero(seal.signature, kEd25519SignatureSize)) {
        QD_LOG_ERR("seal malformed: key id and signature must both be set or both be zero\n");
        return QDUPKERR_SEALFORMAT;
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

bool DigestPrefix(std::FILE* fp, std::uint64_t size, unsigned char* out) noexcept {
    unsigned char chunk[2 * kChunkSize];
    Sha256 sha;
    if (!SeekTo(fp, 0)) {
        return false;
    }
    while (size > 0) {
        const std::size_t want =
            size < sizeof chunk ? static_cast<std::size_t>(size) : sizeof chunk;
        if (std::fread(chunk, 1, want, fp) != want) {
            return false;
        }
        sha.Update(chunk, want);
        size -= want;
    }
    return sha.Final(out);
}

int CheckDigest(std::FILE* fp, std::uint64_t end, const unsigned char* given,
                const SealRecord& seal) noexcept {
    unsigned char computed[kSha256Size];
    if (given == nullptr && !DigestPrefix(fp, end, computed)) {
        QD_LOG_ERR("package cannot be read for its digest\n");
        return QDUPKERR_INVALIDPKG;
    }
    if (std::memcmp(given != nullptr ? given : computed, seal.digest, kSha256Size) != 0) {
        QD_LOG_ERR("seal digest does not match the package\n");
        return QDUPKERR_SEALDIGEST;
    }
    return 0;
}

void FormatKeyId(const unsigned char* id, char (&text)[2 * kKeyIdSize + 1]) noexcept {
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kKeyIdSize; ++i) {
        text[2 * i] = kHex[id[i] >> 4];
        text[2 * i + 1] = kHex[id[i] & 0x0F];
    }
    text[2 * kKeyIdSize] = '\0';
}

int SignatureRefusal(const unsigned char* keyId, bool known, bool weak) noexcept {
    char idText[2 * kKeyIdSize + 1];
    FormatKeyId(keyId, idText);
    if (!known) {
        QD_LOG_ERR("seal signed by unknown key %s\n", idText);
        return QDUPKERR_UNKNOWNKEY;
    }
    if (weak) {
        QD_LOG_ERR(
            "seal signed by key %s, a small-order or non-canonical key that verifies "
            "nothing\n",
            idText);
        return QDUPKERR_WEAKKEY;
    }
    QD_LOG_ERR("seal signature by key %s does not verify\n", idText);
    return QDUPKERR_SIGNATURE;
}

// Ids are short, so two given keys may share one: any key carrying the id
// whose signature verifies is the signer. A key that can verify nothing
// (StrictPointEncoding) is named as such rather than as a bad signature.
int CheckSignature(const Trailer& trailer, const unsigned char* keys, int nKeys,
                   QDUPK_SEALINFO_T* info) noexcept {
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
    return SignatureRefusal(trailer.seal.keyId, known, known && !usable);
}

int CheckKeys(const Trailer& trailer, const unsigned char* keys, int nKeys,
              QDUPK_SEALINFO_T* info) noexcept {
    if (nKeys == 0) {
        return 0;
    }
    if (info->emState != QDUPK_SEAL_SIGNED) {
        QD_LOG_ERR("package %s where a signature is required\n",
                   trailer.sealed ? "unsigned" : "unsealed");
        return QDUPKERR_UNSEALED;
    }
    return CheckSignature(trailer, keys, nKeys, info);
}

int CheckCounter(const QDUPK_SEALINFO_T& info, std::uint64_t minCounter) noexcept {
    if (info.nCounter < minCounter) {
        QD_LOG_ERR("rollback: package counter %" PRIu64 " is lower than %" PRIu64 "\n",
                   info.nCounter, minCounter);
        return QDUPKERR_ROLLBACK;
    }
    return 0;
}

int CheckSealedTrailer(std::FILE* fp, std::uint64_t end, const unsigned char* givenDigest,
                       Trailer* trailer, QDUPK_SEALINFO_T* info) noexcept {
    int ret = CheckSealFields(trailer->seal);
    if (ret == 0) {
        NoteSeal(trailer->seal, info);
        ret = CheckDigest(fp, end, givenDigest, trailer->seal);
    }
    return ret;
}

}  // namespace

int FindPackageEnd(std::FILE* fp, std::uint64_t* endOffset, std::uint64_t* fileSize) noexcept {
    Report report;
    QDUPK_PACKHEAD_T head;
    int ret = GetPkgHead(fp, &head, report);
    if (ret == 0) {
        ret = SkipItems(fp, head.nItems, report);
    }
    if (ret == 0) {
        ret = ReadPackEnd(fp, report);
    }
    struct stat st {};
    const off_t end = ret == 0 ? ftello(fp) : -1;
    if (ret == 0 && (end < 0 || fstat(fileno(fp), &st) != 0)) {
        QD_LOG_ERR("package size cannot be found\n");
        ret = QDUPKERR_INVALIDPKG;
    }
    if (ret != 0) {
        return ret;
    }
    *endOffset = static_cast<std::uint64_t>(end);
    *fileSize = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int CheckSeal(const char* szFileName, const SealCheck& check, QDUPK_SEALINFO_T* pInfo) noexcept {
    *pInfo = QDUPK_SEALINFO_T{QDUPK_SEAL_NONE, 0, {}, -1};
    Report report;
    const qd::FilePtr fp = OpenPackage(szFileName, report);
    if (!fp) {
        return QDUPKERR_OPENFILE;
    }
    std::uint64_t end = 0;
    std::uint64_t fileSize = 0;
    Trailer trailer;
    int ret = FindPackageEnd(fp.get(), &end, &fileSize);
    if (ret == 0) {
        ret = ReadTrailer(fp.get(), end, fileSize, &trailer);
    }
    if (ret == 0 && trailer.sealed) {
        ret = CheckSealedTrailer(fp.get(), end, check.prefixDigest, &trailer, pInfo);
    }
    if (ret == 0) {
        ret = CheckKeys(trailer, check.keys, check.nKeys, pInfo);
    }
    return ret != 0 ? ret : CheckCounter(*pInfo, check.minCounter);
}

}  // namespace qdupk
