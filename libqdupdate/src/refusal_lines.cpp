// The device's error lines for refusals, worded from the fault record by
// the entry point that returns the refusal, whose file and line they carry.
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "pkg_steps.h"
#include "qd_hex.h"

namespace qdpkg {

namespace {

// The refusals that name a key.
void LogKeyRefusal(const LogSite& at, SealProblem problem, const QDUPK_SEALINFO_T& info) noexcept {
    char idText[2 * kKeyIdSize + 1];
    qd::FormatHex(info.byKeyId, kKeyIdSize, idText);
    if (problem == SealProblem::kUnknownKey) {
        qd::LogError(at.file, at.line, "seal signed by unknown key %s\n", idText);
    } else if (problem == SealProblem::kWeakKey) {
        qd::LogError(at.file, at.line,
                     "seal signed by key %s, a small-order or non-canonical key that verifies "
                     "nothing\n",
                     idText);
    } else {
        qd::LogError(at.file, at.line, "seal signature by key %s does not verify\n", idText);
    }
}

struct FixedLine {
    SealProblem problem;
    const char* text;
};

constexpr FixedLine kFixedLines[] = {
    {SealProblem::kTrailerUnreadable, "package trailer cannot be read\n"},
    {SealProblem::kHalfSigned,
     "seal malformed: key id and signature must both be set or both be zero\n"},
    {SealProblem::kDigestUnreadable, "package cannot be read for its digest\n"},
    {SealProblem::kDigest, "seal digest does not match the package\n"},
};

// True when the problem has a line without fields.
bool LogFixedLine(const LogSite& at, SealProblem problem) noexcept {
    for (const FixedLine& fixed : kFixedLines) {
        if (fixed.problem == problem) {
            qd::LogError(at.file, at.line, "%s", fixed.text);
            return true;
        }
    }
    return false;
}

void LogItemHeadRefusal(const LogSite& at, const Fault& fault) noexcept {
    if (fault.kind == FaultKind::kUnterminated) {
        qd::LogError(at.file, at.line,
                     "item head error, text field without terminator, nItemIndex=%d\n",
                     static_cast<int>(fault.item));
        return;
    }
    qd::LogError(at.file, at.line,
                 "item head error, iRet=%d, dwSize=%d, nMaskID=%08X, nItemIndex=%d, "
                 "nDataSize=%d\n",
                 static_cast<int>(fault.got), fault.size, static_cast<unsigned>(fault.mark),
                 fault.index, fault.dataSize);
}

// The digest pass reads whole chunks until the one that came up short.
void LogItemDataRefusal(const LogSite& at, const Fault& fault) noexcept {
    if (fault.kind == FaultKind::kDigest) {
        qd::LogError(at.file, at.line, "crc data error\n");
    } else if (fault.kind == FaultKind::kUnskippable) {
        qd::LogError(at.file, at.line, "item data of item %d cannot be skipped\n",
                     static_cast<int>(fault.item));
    } else {
        const std::size_t chunkStart = fault.got / kChunkSize * kChunkSize;
        const auto left = static_cast<std::size_t>(fault.dataSize) - chunkStart;
        qd::LogError(at.file, at.line, "read file error:%d, readsize = %d\n",
                     static_cast<int>(fault.got - chunkStart),
                     static_cast<int>(left < kChunkSize ? left : kChunkSize));
    }
}

// The line of the record or check the walk stopped at, when it has one.
void LogRecordRefusal(const LogSite& at, const Fault& fault, const char* szFileName,
                      const QDUPK_PACKHEAD_T& head) noexcept {
    const bool fields = fault.kind != FaultKind::kShort;
    switch (fault.part) {
        case FaultPart::kFile:
            if (fault.kind == FaultKind::kOpen) {
                qd::LogError(at.file, at.line, "open file[%s] failed\n", szFileName);
            }
            return;
        case FaultPart::kPackHead:
        case FaultPart::kPackEnd:
            if (fields) {
                qd::LogError(at.file, at.line, "invalid update pkg\n");
            }
            return;
        case FaultPart::kDevice:
            qd::LogError(at.file, at.line, "device id error[%s]\n", head.szDevID);
            return;
        case FaultPart::kItemHead:
            LogItemHeadRefusal(at, fault);
            return;
        case FaultPart::kItemData:
            LogItemDataRefusal(at, fault);
            return;
        default:
            return;
    }
}

using ULL = unsigned long long;

// The room refusals that name only the item and its path.
struct ItemLine {
    RoomProblem problem;
    const char* text;  // after "item %d [%s]: "
};

constexpr ItemLine kItemLines[] = {
    {RoomProblem::kReadOnly, "read-only file system"},
    {RoomProblem::kIsDirectory, "destination is a directory"},
};

bool LogItemLine(const LogSite& at, const Fault& fault) noexcept {
    for (const ItemLine& line : kItemLines) {
        if (line.problem == fault.room) {
            qd::LogError(at.file, at.line, "item %d [%s]: %s\n", static_cast<int>(fault.item),
                         fault.path, line.text);
            return true;
        }
    }
    return false;
}

void LogPlaceRefusal(const LogSite& at, const Fault& fault) noexcept {
    const int item = static_cast<int>(fault.item);
    if (fault.room == RoomProblem::kStatvfs) {
        qd::LogError(at.file, at.line, "item %d [%s]: statvfs failed: %s\n", item, fault.path,
                     std::strerror(fault.error));
    } else if (fault.room == RoomProblem::kNoDirectory) {
        qd::LogError(at.file, at.line, "item %d [%s]: no directory [%s]: %s\n", item, fault.path,
                     fault.dir, fault.error != 0 ? std::strerror(fault.error) : "not a directory");
    } else if (fault.room == RoomProblem::kFileSystems) {
        qd::LogError(at.file, at.line, "item %d [%s]: items go to more than %d file systems\n",
                     item, fault.path, static_cast<int>(kMaxFileSystems));
    } else if (fault.room == RoomProblem::kNoRoom) {
        qd::LogError(at.file, at.line,
                     "item %d [%s]: no room, %llu bytes needed, %llu available, %llu missing\n",
                     item, fault.path, static_cast<ULL>(fault.needed),
                     static_cast<ULL>(fault.available),
                     static_cast<ULL>(fault.needed - fault.available));
    }
}

}  // namespace

void LogRoomRefusal(const LogSite& at, const Fault& fault, const char* szTempDir) noexcept {
    if (fault.room == RoomProblem::kTempDirTooLong) {
        qd::LogError(at.file, at.line, "temp dir too long[%s]\n", szTempDir);
    } else if (fault.room == RoomProblem::kPathTooLong) {
        qd::LogError(at.file, at.line, "item path too long\n");
    } else if (!LogItemLine(at, fault)) {
        LogPlaceRefusal(at, fault);
    }
}

void LogWalkRefusal(const LogSite& at, const Fault& fault, const char* szFileName,
                    const QDUPK_PACKHEAD_T& head, bool update) noexcept {
    LogRecordRefusal(at, fault, szFileName, head);
    const FaultPart part = fault.part;
    if (!update || part == FaultPart::kDevice || fault.kind == FaultKind::kOpen) {
        return;
    }
    if (part == FaultPart::kPackHead || part == FaultPart::kFile) {
        qd::LogError(at.file, at.line, "get file head error=%d\n", fault.code);
    } else {
        qd::LogError(at.file, at.line, "crc packet error=%d\n", fault.code);
    }
}

void LogSealRefusal(const LogSite& at, const Fault& fault, const QDUPK_SEALINFO_T& info) noexcept {
    switch (fault.seal) {
        case SealProblem::kTrailingBytes:
            qd::LogError(at.file, at.line,
                         "seal malformed: %" PRIu64 " bytes follow the end record, not %u\n",
                         fault.trailing, static_cast<unsigned>(kSealSize));
            return;
        case SealProblem::kFields:
            qd::LogError(at.file, at.line, "seal malformed: size %u, algorithm %u\n",
                         static_cast<unsigned>(fault.sealSize),
                         static_cast<unsigned>(fault.sealAlgorithm));
            return;
        case SealProblem::kUnsigned:
            qd::LogError(at.file, at.line, "package %s where a signature is required\n",
                         info.emState == QDUPK_SEAL_NONE ? "unsealed" : "unsigned");
            return;
        case SealProblem::kUnknownKey:
        case SealProblem::kWeakKey:
        case SealProblem::kSignature:
            LogKeyRefusal(at, fault.seal, info);
            return;
        case SealProblem::kRollback:
            qd::LogError(at.file, at.line,
                         "rollback: package counter %" PRIu64 " is lower than %" PRIu64 "\n",
                         info.nCounter, fault.minCounter);
            return;
        default:
            static_cast<void>(LogFixedLine(at, fault.seal));
            return;
    }
}

}  // namespace qdpkg
