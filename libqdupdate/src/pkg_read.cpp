// Reading the three records from an open package stream.
#include <cerrno>
#include <cstring>

#include "pkg_steps.h"

namespace qdpkg {

namespace {

void NoteHead(Fault& fault, const QDUPK_PACKHEAD_T& head) noexcept {
    fault.mark = head.nMaskID;
    fault.size = head.dwSize;
    fault.items = head.nItems;
}

void NoteItem(Fault& fault, const QDUPK_PKTITEM_T& item) noexcept {
    fault.mark = item.nMaskID;
    fault.size = item.dwSize;
    fault.index = item.nItemIndex;
    fault.dataSize = item.nDataSize;
}

// A record's bytes, fed to the prefix digest as they are read.
std::size_t ReadRecord(std::FILE* fpFile, unsigned char* raw, std::size_t size,
                       Sha256* prefix) noexcept {
    const std::size_t got = std::fread(raw, 1, size, fpFile);
    if (prefix != nullptr) {
        prefix->Update(raw, got);
    }
    return got;
}

}  // namespace

bool SeekTo(std::FILE* fpFile, off_t offset) noexcept {
    return fseeko(fpFile, offset, SEEK_SET) == 0;
}

int Fail(Report& report, int code, FaultPart part, FaultKind kind, std::int32_t item) noexcept {
    report.fault.code = code;
    report.fault.part = part;
    report.fault.kind = kind;
    report.fault.item = item;
    return code;
}

// Close-on-exec: install callbacks run scripts and flash tools, and a
// script that leaves a process behind would keep the package allocated.
qd::FilePtr OpenPackage(const char* szFileName, Report& report) noexcept {
    qd::FilePtr fp(std::fopen(szFileName, "rbe"));
    if (!fp) {
        report.fault.error = errno;
        Fail(report, QDUPKERR_OPENFILE, FaultPart::kFile, FaultKind::kOpen);
    }
    return fp;
}

int GetPkgHead(std::FILE* fpFile, QDUPK_PACKHEAD_T* pPkgHead, Report& report,
               Sha256* prefix) noexcept {
    unsigned char raw[kPackHeadSize];
    report.fault = Fault{};
    if (!SeekTo(fpFile, 0)) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kPackHead, FaultKind::kShort);
    }
    report.fault.got = ReadRecord(fpFile, raw, sizeof raw, prefix);
    if (report.fault.got != sizeof raw) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kPackHead, FaultKind::kShort);
    }
    DecodePackHead(raw, *pPkgHead);
    NoteHead(report.fault, *pPkgHead);
    // A text without its terminator would be read past its field by every
    // user of the decoded head, so such a head is as invalid as a bad mark.
    const bool fieldsValid = PackHeadValid(*pPkgHead);
    if (!fieldsValid || !PackHeadTextTerminated(*pPkgHead)) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kPackHead,
                    fieldsValid ? FaultKind::kUnterminated : FaultKind::kFields);
    }
    DecodePackHeadText(*pPkgHead);
    return 0;
}

int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem, Report& report,
                 Sha256* prefix) noexcept {
    unsigned char raw[kItemHeadSize];
    report.fault = Fault{};
    const std::size_t got = ReadRecord(fpFile, raw, sizeof raw, prefix);
    if (got != sizeof raw) {
        // The fields of a short record are not in the file; report zeros.
        std::memset(raw + got, 0, sizeof raw - got);
    }
    DecodeItemHead(raw, *pItem);
    report.fault.got = got;
    NoteItem(report.fault, *pItem);
    if (got != sizeof raw || !ItemHeadValid(*pItem, index)) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemHead,
                    got != sizeof raw ? FaultKind::kShort : FaultKind::kFields, index);
    }
    if (!ItemHeadTextTerminated(*pItem)) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemHead, FaultKind::kUnterminated,
                    index);
    }
    return 0;
}

int ReadPackEnd(std::FILE* fpFile, Report& report, Sha256* prefix) noexcept {
    unsigned char raw[kPackEndSize];
    report.fault = Fault{};
    report.fault.got = ReadRecord(fpFile, raw, sizeof raw, prefix);
    if (report.fault.got != sizeof raw) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kPackEnd, FaultKind::kShort);
    }
    QDUPK_PACKEND_T end;
    DecodePackEnd(raw, end);
    report.fault.mark = end.nMaskID;
    report.fault.size = end.dwSize;
    if (!PackEndValid(end)) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kPackEnd, FaultKind::kFields);
    }
    return 0;
}

}  // namespace qdpkg
