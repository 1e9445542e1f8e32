// The package library's one reader, shared with the host tool: the whole
// verification walk as the device runs it before installing anything, with
// the reason for a refusal as data instead of only as a log line, and the
// item heads handed out as the walk passes them. The device and `qdupk`
// agree on a package because they run this same code.
#ifndef QDUPK_PKG_READER_H
#define QDUPK_PKG_READER_H

#include <cstddef>
#include <cstdint>

#include "qdupdate.h"

namespace qdupk {

// The record or check a walk stopped at.
enum class FaultPart : std::uint8_t {
    kNone,
    kFile,      // the package file itself
    kPackHead,  // the head at offset 0
    kDevice,    // the head is sound but names another device
    kItemHead,  // the head of item `item`
    kItemData,  // the data of item `item`
    kPackEnd    // the end record after the last item
};

// What was wrong with it.
enum class FaultKind : std::uint8_t {
    kNone,
    kOpen,          // cannot be opened; `error` holds errno
    kShort,         // the file ends (or a read fails) inside it
    kFields,        // mark, size, index or count break the record's rules
    kUnterminated,  // a text field has no stored terminator
    kDigest,        // the data does not match the item's digest
    kOtherDevice    // the head's device id is neither the device's nor the wildcard
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
    // The device logs each refusal on standard output; a caller that words
    // its own messages from `fault` turns those lines (and the digest
    // traces) off.
    bool printLines = true;
};

// Opens the package and verifies it whole: head, device (any device when
// szDevID is null), every item head and digest, end record. Returns 0 or
// the QDUPKERR_* code the device's update would return for it, with
// report.fault saying why; *pHead holds the decoded head once it was read.
int VerifyPackageFile(const char* szFileName, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                      Report& report) noexcept;

}  // namespace qdupk

#endif  // QDUPK_PKG_READER_H
