// The device's error lines for refusals, worded from the fault record by
// the entry point that returns the refusal, whose file and line they carry.
#include <cinttypes>

#include "pkg_steps.h"

namespace qdupk {

namespace {

void FormatKeyId(const unsigned char* id, char (&text)[2 * kKeyIdSize + 1]) noexcept {
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kKeyIdSize; ++i) {
        text[2 * i] = kHex[id[i] >> 4];
        text[2 * i + 1] = kHex[id[i] & 0x0F];
    }
    text[2 * kKeyIdSize] = '\0';
}

// The refusals that name a key.
void LogKeyRefusal(const LogSite& at, SealProblem problem, const QDUPK_SEALINFO_T& info) noexcept {
    char idText[2 * kKeyIdSize + 1];
    FormatKeyId(info.byKeyId, idText);
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

}  // namespace

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

}  // namespace qdupk
