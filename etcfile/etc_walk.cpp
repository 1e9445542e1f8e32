// The whole-file walk for readers in this tree that judge a file's every
// line (the manifest reader, the daemon's seal slip check). Apart from the
// lookups so that a program linking the static library without it carries
// none of it.
#include "etc_internal.h"

namespace etcfile {

namespace {

// Fills entry from one line (its newline, if any, at line[len - 1]); false
// for a comment or an empty line.
bool ClassifyLine(char* line, std::size_t len, EtcLine& entry) noexcept {
    if (line[len - 1] == '\n') {
        line[len - 1] = '\0';
    }
    entry.hasEquals = has_key_separator(line);
    char* key = nullptr;
    char* value = nullptr;
    switch (get_key_value(line, &key, &value)) {
        case 0:
            entry.kind = EtcLineKind::kKey;
            entry.name = key;
            entry.value = value;
            return true;
        case 1:
            entry.kind = EtcLineKind::kSection;
            entry.name = get_section_name(line);
            entry.value = "";
            entry.hasEquals = false;
            return true;
        default:
            return false;
    }
}

}  // namespace

int etc_WalkLines(std::FILE* fp, EtcLineVisitor visit, void* context) noexcept {
    char line[kLineBufSize];
    EtcLine entry;
    for (int number = 1;; ++number) {
        std::size_t len = etc_ReadPiece(fp, line, kReadSize);
        if (len == 0) {
            return std::ferror(fp) != 0 ? kEtcIoError : kEtcOk;
        }
        // A long line is one line, classified by its first piece, as for
        // every other read.
        entry.cut = etc_PieceContinues(fp, line, len);
        if (entry.cut && !etc_PassRestOfLine(fp, nullptr)) {
            return kEtcIoError;
        }
        entry.number = number;
        if (ClassifyLine(line, len, entry) && !visit(context, entry)) {
            return kEtcOk;
        }
    }
}

int etc_ForEachLine(const char* pEtcFile, EtcLineVisitor visit, void* context) noexcept {
    if (pEtcFile == nullptr || visit == nullptr) {
        return kEtcNoFile;
    }
    const qd::FilePtr fp = etc_OpenForReading(pEtcFile);
    if (!fp) {
        return kEtcNoFile;
    }
    return etc_WalkLines(fp.get(), visit, context);
}

}  // namespace etcfile
