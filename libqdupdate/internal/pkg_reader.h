// The package library's one reader, shared with the host tool: the whole
// verification walk as the device runs it before installing anything, with
// the reason for a refusal as data instead of only as a log line, and the
// item heads handed out as the walk passes them. The device and `qdupk`
// agree on a package because they run this same code.
#ifndef QDUPK_PKG_READER_H
#define QDUPK_PKG_READER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "libqdupdate.h"
#include "qdupdate.h"
#include "seal.h"

namespace qdpkg {

// The record or check a walk stopped at.
enum class FaultPart : std::uint8_t {
    kNone,
    kFile,      // the package file itself
    kPackHead,  // the head at offset 0
    kDevice,    // the head is sound but names another device
    kItemHead,  // the head of item `item`
    kItemData,  // the data of item `item`
    kPackEnd,   // the end record after the last item
    kSeal,      // the seal behind the end record, or the policy it is judged by
    kRoom       // where the items would be written
};

// What was wrong with it.
enum class FaultKind : std::uint8_t {
    kNone,
    kOpen,          // cannot be opened; `error` holds errno
    kShort,         // the file ends (or a read fails) inside it
    kFields,        // mark, size, index or count break the record's rules
    kUnterminated,  // a text field has no stored terminator
    kDigest,        // the data does not match the item's digest
    kUnskippable,   // the data, not needed, cannot be skipped
    kOtherDevice,   // the head's device id is neither the device's nor the wildcard
    kRefused        // the seal check refused the package; `code` says why
};

// Why a seal check refused a package (part kSeal), beside its code.
enum class SealProblem : std::uint8_t {
    kNone,
    kTrailerUnreadable,  // the bytes after the end record cannot be read
    kTrailingBytes,      // they begin as a seal but are not kSealSize long
    kFields,             // size or algorithm is not the seal's
    kHalfSigned,         // a key id without signature or the other way round
    kDigestUnreadable,   // the digest before the seal was not taken
    kDigest,             // the digest does not match
    kUnsigned,           // unsealed or unsigned where keys are given
    kUnknownKey,         // signed by a key id no given key has
    kWeakKey,            // signed by a given key that verifies nothing
    kSignature,          // the signature does not verify
    kRollback            // the counter is below the minimum
};

// Why the room check refused a package (part kRoom).
enum class RoomProblem : std::uint8_t {
    kNone,
    kTempDirTooLong,  // no temporary path would fit
    kPathTooLong,     // an item's path does not fit
    kStatvfs,         // `path`'s file system cannot be asked (`error`)
    kReadOnly,        // `path` is on a read-only file system
    kNoDirectory,     // `dir` is missing (`error`) or not a directory (`error` 0)
    kIsDirectory,     // the destination `path` is a directory
    kFileSystems,     // the items go to more file systems than are counted
    kNoRoom           // `needed` bytes, only `available` free
};

// Filled by the step that fails, so a caller can say why without reading
// the package a second time. Numeric fields are those of the failed
// record as read; a record cut short reads as zeros past its end.
struct Fault {
    int code = 0;  // the walk's QDUPKERR_* result; 0 when it passed
    FaultPart part = FaultPart::kNone;
    FaultKind kind = FaultKind::kNone;
    std::int32_t item = -1;  // position of the failed item; -1 outside items
    std::int32_t mark = 0;
    std::int32_t size = 0;      // the record's own size field
    std::int32_t index = 0;     // an item head's stored index
    std::int32_t items = 0;     // a pack head's item count
    std::int32_t dataSize = 0;  // an item head's data size
    std::size_t got = 0;        // bytes a short record or item data yielded
    int error = 0;              // errno when the file cannot be opened
    // A seal refusal: the reason and the seal's fields it names. Key id,
    // counter and state are in the seal information the check fills.
    SealProblem seal = SealProblem::kNone;
    std::uint64_t trailing = 0;  // bytes behind the end record
    std::uint32_t sealSize = 0, sealAlgorithm = 0;
    std::uint64_t minCounter = 0;
    // A room refusal: the reason, the item's (or its file system's) path,
    // the directory looked for, and the bytes counted.
    RoomProblem room = RoomProblem::kNone;
    char path[QDUPK_TEXT_SIZE] = {};
    char dir[QDUPK_TEXT_SIZE] = {};
    std::uint64_t needed = 0, available = 0;
};

// Told about every item whose head and data have been verified, in item
// order, with its text fields decoded. Items after a fault are never seen.
// Called inside the library: it must not throw.
class ItemVisitor {
  public:
    virtual void OnItem(const QDUPK_PKTITEM_T& item) noexcept = 0;

  protected:
    ItemVisitor() = default;
    ItemVisitor(const ItemVisitor&) = default;
    ItemVisitor& operator=(const ItemVisitor&) = default;
    ~ItemVisitor() = default;
};

// One walk's inputs and findings besides its result code.
struct Report {
    Fault fault;
    ItemVisitor* visitor = nullptr;
    // The verification pass traces each chunk it digests on standard
    // output, as the device's log; a caller with no use for them turns
    // them off. Refusals are never printed by a walk: `fault` says why.
    bool printLines = true;
    // Whether each item's data is checked against its MD5. A walk that
    // only needs the records and the seal sets it false: item data is then
    // read only when the SHA-256 before the seal is taken, else skipped.
    bool itemDigests = true;
};

// One item as the walk found it: its head, texts decoded, and where its
// data starts in the file.
struct IndexedItem {
    QDUPK_PKTITEM_T head;
    std::uint64_t dataOffset;
};

// What one walk over a package found, once every record has been read and
// checked: everything later steps need, so none of them walks the records
// again. Item data is reached by seeking to an item's dataOffset.
struct PackageIndex {
    QDUPK_PACKHEAD_T head{};
    // The library links into C programs, without the C++ runtime's
    // operator new: the items live in malloc'd memory.
    struct FreeItems {
        void operator()(IndexedItem* held) const noexcept { std::free(held); }
    };
    std::unique_ptr<IndexedItem[], FreeItems> items;  // head.nItems after a passed walk
    std::int32_t itemCount = 0;
    std::uint64_t endOffset = 0;  // where the end record ends
    std::uint64_t fileSize = 0;
    // The first bytes behind the end record (at most a seal's worth), as
    // far as they could be read.
    unsigned char trailer[kSealSize]{};
    std::size_t trailerGot = 0;
    // The SHA-256 of the bytes before the end of the end record, taken in
    // the walk when the file ends in what looks like a seal and no digest
    // was handed in.
    bool digested = false;
    unsigned char prefixDigest[kSha256Size]{};
};

// What a seal is checked against. prefixDigest, when given, is the SHA-256
// of every byte before the last 128, and the data is not read for it.
struct SealCheck {
    const unsigned char* prefixDigest = nullptr;
    const unsigned char* keys = nullptr;  // nKeys public keys, back to back
    int nKeys = 0;
    std::uint64_t minCounter = 0;
    // A room refusal: the reason, the item's (or its file system's) path,
    // the directory looked for, and the bytes counted.
    RoomProblem room = RoomProblem::kNone;
    char path[QDUPK_TEXT_SIZE] = {};
    char dir[QDUPK_TEXT_SIZE] = {};
    std::uint64_t needed = 0, available = 0;
};

// Whether the walk takes the SHA-256 a seal is judged by: only a caller
// that judges the seal and was handed no digest wants it.
enum class SealDigest { kTake, kSkip };

// The SealDigest for a seal check: taken in the walk unless handed in.
inline SealDigest DigestFor(const SealCheck& check) noexcept {
    return check.prefixDigest == nullptr ? SealDigest::kTake : SealDigest::kSkip;
}

// The one walk over an open package: head, device (any device when
// szDevID is null), every item head with its data (MD5 checked unless
// report.itemDigests is false), the end record and what follows it, in one
// pass from the start; with SealDigest::kTake and a file that ends in what
// looks like a seal, the SHA-256 for it is taken in the same pass. 0 or the
// QDUPKERR_* code the device's update would return, with report.fault
// saying why.
int IndexPackage(std::FILE* fp, const char* szDevID, SealDigest digest, PackageIndex* index,
                 Report& report) noexcept;

// The seal of an indexed package, judged without reading the file: 0 or a
// QDUPKERR_* code; *pInfo says as much as was found, also on a refusal.
int JudgeSeal(const PackageIndex& index, const SealCheck& check, QDUPK_SEALINFO_T* pInfo,
              Report& report) noexcept;

// Opens the package and verifies it whole: head, device (any device when
// szDevID is null), every item head and digest, end record. Returns 0 or
// the QDUPKERR_* code the device's update would return for it, with
// report.fault saying why; *pHead holds the decoded head once it was read.
int VerifyPackageFile(const char* szFileName, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                      Report& report) noexcept;

// As VerifyPackageFile, then the seal judged by `check` from the same
// walk, so every byte is read once; a seal refusal is recorded as a fault
// of part kSeal, kind kRefused. *pSeal is filled as far as the check got.
int VerifySealedPackageFile(const char* szFileName, const char* szDevID, const SealCheck& check,
                            QDUPK_PACKHEAD_T* pHead, QDUPK_SEALINFO_T* pSeal,
                            Report& report) noexcept;

}  // namespace qdpkg

#endif  // QDUPK_PKG_READER_H
