// The one walk over a package: nothing is extracted until every item head,
// every digest and the end record have been read and found right, and what
// the walk found is kept as an index, so the seal check, the room check and
// the extraction never walk the records again.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "md5enc.h"
#include "pkg_steps.h"

namespace qdpkg {

namespace {

int CheckDevice(const QDUPK_PACKHEAD_T& head, const char* szDevID, Report& report) noexcept {
    if (std::strcmp(head.szDevID, kAnyDevice) == 0) {
        if (report.printLines) {
            QD_LOG_TRACE("QUNDAR any update packet\n");
        }
        return 0;
    }
    if (std::strcmp(head.szDevID, szDevID) != 0) {
        return Fail(report, QDUPKERR_DEVID, FaultPart::kDevice, FaultKind::kOtherDevice);
    }
    return 0;
}

// One walk's stream and what it feeds besides the checks.
struct Walk {
    std::FILE* fp;
    Report& report;
    Sha256* prefix;  // null: the SHA-256 before the seal is not taken
};

// A walk that checks no digest and takes no SHA-256 has no use for the
// data. A seek past the end succeeds; the next read then comes up short.
int SkipItemData(Walk& walk, const QDUPK_PKTITEM_T& item, std::int32_t index) noexcept {
    if (fseeko(walk.fp, static_cast<off_t>(item.nDataSize), SEEK_CUR) != 0) {
        return Fail(walk.report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kUnskippable,
                    index);
    }
    return 0;
}

// The item's data against its digest; the stream ends up at the next head.
int CheckItemData(Walk& walk, const QDUPK_PKTITEM_T& item, std::int32_t index) noexcept {
    Report& report = walk.report;
    if (!report.itemDigests && walk.prefix == nullptr) {
        return SkipItemData(walk, item, index);
    }
    unsigned char digest[QDUPK_MD5_SIZE];
    const bool trace = report.printLines && report.itemDigests;
    const int ret = md5FileData(walk.fp, item.nDataSize, digest, report, walk.prefix, trace);
    report.fault.item = ret != 0 ? index : -1;
    report.fault.dataSize = item.nDataSize;
    if (ret != 0 || !report.itemDigests) {
        return ret;
    }
    if (std::memcmp(digest, item.szDataMd5, sizeof digest) != 0) {
        return Fail(report, QDUPKERR_CRCDATA, FaultPart::kItemData, FaultKind::kDigest, index);
    }
    return 0;
}

void ShowItem(const QDUPK_PKTITEM_T& decoded, ItemVisitor* visitor) noexcept {
    if (visitor != nullptr) {
        visitor->OnItem(decoded);
    }
}

// Every item takes a head and at least one byte of data, so a file holds
// no more items than this: a count beyond it fails the walk at a short
// record, and the index never needs more room than the file could fill.
std::int32_t ItemRoom(std::int32_t nItems, std::uint64_t fileSize) noexcept {
    const std::uint64_t body = fileSize > kPackHeadSize ? fileSize - kPackHeadSize : 0;
    const std::uint64_t fits = body / (kItemHeadSize + 1);
    return fits < static_cast<std::uint64_t>(nItems) ? static_cast<std::int32_t>(fits) : nItems;
}

// Reads item `i` (head, then data) and keeps it in the index.
int WalkItem(Walk& walk, std::int32_t i, PackageIndex* index, std::int32_t room) noexcept {
    QDUPK_PKTITEM_T item;
    int ret = ReadItemHead(walk.fp, i, &item, walk.report, walk.prefix);
    const off_t dataOffset = ret == 0 ? ftello(walk.fp) : -1;
    if (ret == 0 && (dataOffset < 0 || i >= room)) {
        return Fail(walk.report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kShort, i);
    }
    if (ret == 0) {
        ret = CheckItemData(walk, item, i);
    }
    if (ret != 0) {
        return ret;
    }
    DecodeItemHeadText(item);
    index->items[static_cast<std::size_t>(i)] =
        IndexedItem{item, static_cast<std::uint64_t>(dataOffset)};
    index->itemCount = i + 1;
    ShowItem(item, walk.report.visitor);
    return 0;
}

int WalkItems(Walk& walk, PackageIndex* index) noexcept {
    const std::int32_t room = ItemRoom(index->head.nItems, index->fileSize);
    const std::size_t slots = room > 0 ? static_cast<std::size_t>(room) : 1;
    index->items.reset(static_cast<IndexedItem*>(std::calloc(slots, sizeof(IndexedItem))));
    if (!index->items) {
        return Fail(walk.report, QDUPKERR_INVALIDPKG, FaultPart::kFile, FaultKind::kShort);
    }
    for (std::int32_t i = 0; i < index->head.nItems; ++i) {
        const int ret = WalkItem(walk, i, index, room);
        if (ret != 0) {
            return ret;
        }
    }
    return ReadPackEnd(walk.fp, walk.report, walk.prefix);
}

// The file ends in what looks like a seal: only then is the SHA-256 taken.
bool EndsInSeal(std::FILE* fp, std::uint64_t fileSize) noexcept {
    unsigned char magic[sizeof kSealMagic];
    return fileSize >= kSealSize && SeekTo(fp, static_cast<off_t>(fileSize - kSealSize)) &&
           std::fread(magic, 1, sizeof magic, fp) == sizeof magic &&
           HasSealMagic(magic, sizeof magic);
}

// What follows the end record, up to a seal's worth, for the seal check.
void ReadTrailer(std::FILE* fp, PackageIndex* index) noexcept {
    const std::uint64_t trailing = index->fileSize - index->endOffset;
    const std::size_t want = trailing < kSealSize ? static_cast<std::size_t>(trailing) : kSealSize;
    index->trailerGot = SeekTo(fp, static_cast<off_t>(index->endOffset))
                            ? std::fread(index->trailer, 1, want, fp)
                            : 0;
}

// The end offset, the trailer and the digest, once the records passed.
int Finish(Walk& walk, PackageIndex* index) noexcept {
    const off_t end = ftello(walk.fp);
    if (end < 0 || static_cast<std::uint64_t>(end) > index->fileSize) {
        return Fail(walk.report, QDUPKERR_INVALIDPKG, FaultPart::kPackEnd, FaultKind::kShort);
    }
    index->endOffset = static_cast<std::uint64_t>(end);
    ReadTrailer(walk.fp, index);
    index->digested = walk.prefix != nullptr && walk.prefix->Final(index->prefixDigest);
    return 0;
}

int WalkFrom(Walk& walk, const char* szDevID, PackageIndex* index) noexcept {
    int ret = GetPkgHead(walk.fp, &index->head, walk.report, walk.prefix);
    const char* device = szDevID == kOwnDevice ? index->head.szDevID : szDevID;
    if (ret == 0 && device != nullptr) {
        ret = CheckDevice(index->head, device, walk.report);
    }
    if (ret != 0) {
        return ret;
    }
    ret = WalkItems(walk, index);
    // The pass's gathered trace lines are out before anything else happens.
    qd::LogFlush();
    return ret != 0 ? ret : Finish(walk, index);
}

}  // namespace

const char kOwnDevice[] = "";

int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5, Report& report,
                Sha256* prefix, bool trace) noexcept {
    unsigned char chunk[kChunkSize];
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    report.fault = Fault{};
    std::size_t remaining = static_cast<std::size_t>(size);
    while (remaining > 0) {
        const std::size_t readSize = remaining < kChunkSize ? remaining : kChunkSize;
        const std::size_t got = std::fread(chunk, 1, readSize, fpFile);
        report.fault.got += got;
        if (trace) {
            // One line per 4 KiB chunk: gathered, the pass flushes them at its end.
            QD_LOG_GATHER("md5FileData readsize = %d, iRet = %d\n", static_cast<int>(readSize),
                          static_cast<int>(got));
        }
        if (got < readSize) {
            return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kShort);
        }
        libqdupk_MD5Update(&context, chunk, static_cast<unsigned int>(readSize));
        if (prefix != nullptr) {
            prefix->Update(chunk, readSize);
        }
        remaining -= readSize;
    }
    libqdupk_MD5Final(&context, szMD5);
    return 0;
}

int IndexPackage(std::FILE* fp, const char* szDevID, SealDigest digest, PackageIndex* index,
                 Report& report) noexcept {
    *index = PackageIndex{};
    report.fault = Fault{};
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kFile, FaultKind::kShort);
    }
    index->fileSize = static_cast<std::uint64_t>(st.st_size);
    Sha256 sha;
    const bool hashing = digest == SealDigest::kTake && EndsInSeal(fp, index->fileSize);
    Walk walk{fp, report, hashing ? &sha : nullptr};
    return WalkFrom(walk, szDevID, index);
}

namespace {

int IndexPackageFile(const char* szFileName, const char* szDevID, SealDigest digest,
                     PackageIndex* index, Report& report) noexcept {
    const qd::FilePtr fp = OpenPackage(szFileName, report);
    return fp ? IndexPackage(fp.get(), szDevID, digest, index, report) : report.fault.code;
}

}  // namespace

int VerifyPackageFile(const char* szFileName, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                      Report& report) noexcept {
    PackageIndex index;
    const int ret = IndexPackageFile(szFileName, szDevID, SealDigest::kSkip, &index, report);
    *pHead = index.head;
    return ret;
}

int VerifySealedPackageFile(const char* szFileName, const char* szDevID, const SealCheck& check,
                            QDUPK_PACKHEAD_T* pHead, QDUPK_SEALINFO_T* pSeal,
                            Report& report) noexcept {
    *pSeal = QDUPK_SEALINFO_T{QDUPK_SEAL_NONE, 0, {}, -1};
    PackageIndex index;
    const int ret = IndexPackageFile(szFileName, szDevID, DigestFor(check), &index, report);
    *pHead = index.head;
    return ret != 0 ? ret : JudgeSeal(index, check, pSeal, report);
}

}  // namespace qdpkg
