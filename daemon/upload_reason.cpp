// Reason texts, short and concrete: they travel in a 128-byte field.
#include "upload_reason.h"

#include <cinttypes>

#include "qd_hex.h"
#include "qd_text.h"
#include "seal.h"

namespace {

using qdpkg::FaultKind;
using qdpkg::FaultPart;
using qdpkg::RoomProblem;
using qdpkg::SealProblem;

constexpr std::size_t kTextSize = qd::kStatusLastTextSize + 1;

// The library counts items from 0; manifests and operators from 1.
int Numbered(std::int32_t item) noexcept {
    return static_cast<int>(item) + 1;
}

UploadResult Formatted(UploadResult result, qd::StatusReason reason, const char* text,
                       std::int32_t item) noexcept {
    result.reason = reason;
    // A cut text still says why.
    static_cast<void>(item >= 0
                          ? qd::FormatText(result.text, kTextSize, "%s %d", text, Numbered(item))
                          : qd::CopyText(result.text, text));
    return result;
}

UploadResult VerifyReason(UploadResult result, const qdpkg::UpdateOutcome& outcome) noexcept {
    const qdpkg::Fault& fault = outcome.fault;
    switch (fault.part) {
        case FaultPart::kFile:
        case FaultPart::kPackHead:
            return WithReason(result, qd::kStatusNotAPackage, "not a package: no package head");
        case FaultPart::kDevice:
            result.reason = qd::kStatusOtherDevice;
            static_cast<void>(
                qd::FormatText(result.text, kTextSize, "made for device %s", outcome.device));
            return result;
        case FaultPart::kItemHead:
            return Formatted(result, qd::kStatusDamaged, "broken head of item", fault.item);
        case FaultPart::kItemData:
            return Formatted(result, qd::kStatusDamaged,
                             fault.kind == FaultKind::kDigest ? "digest mismatch in item"
                                                              : "data cut short in item",
                             fault.item);
        case FaultPart::kPackEnd:
            return WithReason(result, qd::kStatusDamaged, "broken end record");
        default:
            return WithReason(result, qd::kStatusDamaged, "package cannot be read");
    }
}

UploadResult KeyReason(UploadResult result, SealProblem problem,
                       const QDUPK_SEALINFO_T& seal) noexcept {
    char id[2 * QDUPK_KEYID_SIZE + 1];
    qd::FormatHex(seal.byKeyId, QDUPK_KEYID_SIZE, id);
    result.reason = qd::kStatusUntrustedKey;
    char* text = result.text;
    if (problem == SealProblem::kUnknownKey) {
        static_cast<void>(qd::FormatText(text, kTextSize, "signed by unknown key %s", id));
    } else if (problem == SealProblem::kWeakKey) {
        static_cast<void>(
            qd::FormatText(text, kTextSize, "signed by key %s, which verifies nothing", id));
    } else {
        result.reason = qd::kStatusBadSignature;
        static_cast<void>(
            qd::FormatText(text, kTextSize, "signature by key %s does not verify", id));
    }
    return result;
}

UploadResult SealReason(UploadResult result, const qdpkg::UpdateOutcome& outcome,
                        std::uint64_t stored) noexcept {
    switch (outcome.fault.seal) {
        case SealProblem::kUnsigned:
            return WithReason(result, qd::kStatusNotSigned, "not signed by a trusted key");
        case SealProblem::kUnknownKey:
        case SealProblem::kWeakKey:
        case SealProblem::kSignature:
            return KeyReason(result, outcome.fault.seal, outcome.seal);
        case SealProblem::kRollback:
            result.reason = qd::kStatusRollback;
            static_cast<void>(qd::FormatText(result.text, kTextSize,
                                             "rollback: counter %" PRIu64 " is lower than %" PRIu64,
                                             outcome.seal.nCounter, stored));
            return result;
        case SealProblem::kDigest:
            return WithReason(result, qd::kStatusBadSeal, "the seal's digest does not match");
        default:
            return WithReason(result, qd::kStatusBadSeal, "malformed seal");
    }
}

struct RoomText {
    RoomProblem problem;
    const char* text;  // followed by the item's number when the fault names one
};

constexpr RoomText kRoomTexts[] = {
    {RoomProblem::kTempDirTooLong, "temporary directory too long"},
    {RoomProblem::kPathTooLong, "path too long for item"},
    {RoomProblem::kStatvfs, "file system cannot be asked for item"},
    {RoomProblem::kReadOnly, "read-only file system for item"},
    {RoomProblem::kNoDirectory, "no directory for item"},
    {RoomProblem::kIsDirectory, "destination is a directory for item"},
    {RoomProblem::kFileSystems, "too many file systems at item"},
    {RoomProblem::kNoRoom, "no room for item"},
};

UploadResult RoomReason(UploadResult result, const qdpkg::Fault& fault) noexcept {
    for (const RoomText& entry : kRoomTexts) {
        if (entry.problem == fault.room) {
            const bool named = fault.room != RoomProblem::kTempDirTooLong;
            return Formatted(result, qd::kStatusNoRoom, entry.text, named ? fault.item : -1);
        }
    }
    return WithReason(result, qd::kStatusNoRoom, "no room");
}

UploadResult InstallReason(UploadResult result, std::int32_t item) noexcept {
    result.reason = qd::kStatusInstallFailed;
    static_cast<void>(item >= 0 ? qd::FormatText(result.text, kTextSize,
                                                 "item %d failed to install", Numbered(item))
                                : qd::CopyText(result.text, "installing failed"));
    return result;
}

}  // namespace

UploadResult WithReason(UploadResult result, qd::StatusReason reason, const char* text) noexcept {
    return Formatted(result, reason, text, -1);
}

UploadResult WithOutcomeReason(UploadResult result, const qdpkg::UpdateOutcome& outcome,
                               std::uint64_t stored) noexcept {
    switch (outcome.stage) {
        case qdpkg::UpdateStage::kVerify:
            return VerifyReason(result, outcome);
        case qdpkg::UpdateStage::kSeal:
            return SealReason(result, outcome, stored);
        case qdpkg::UpdateStage::kRoom:
            return RoomReason(result, outcome.fault);
        case qdpkg::UpdateStage::kInstall:
            return InstallReason(result, outcome.fault.item);
        default:
            return result;
    }
}
