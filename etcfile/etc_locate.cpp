// The two forward-reading lookups shared by reading and saving: find a
// section header, then a key below it, optionally copying what is passed.
#include <cstring>

#include "etc_internal.h"

namespace etcfile {

namespace {

bool WriteAll(std::FILE* fp, const char* data, std::size_t len) noexcept {
    return std::fwrite(data, 1, len, fp) == len;
}

// strncpy semantics into the caller's buffer: iLen characters at most, the
// rest of the iLen bytes zeroed.
void CopyValue(char* pValue, int iLen, const char* value) noexcept {
    const std::size_t room = iLen > 0 ? static_cast<std::size_t>(iLen) : 0;
    const std::size_t len = std::strlen(value);
    const std::size_t n = len < room ? len : room;
    std::memcpy(pValue, value, n);
    std::memset(pValue + n, 0, room - n);
}

bool WriteKeyLine(std::FILE* bak_fp, const char* key, const char* value) noexcept {
    return std::fprintf(bak_fp, "%s=%s\n", key, value) >= 0;
}

enum class PieceAction { kNext, kFound, kPushedBack, kFailed };

// A line longer than one piece is one line, classified by its first piece,
// for reading and saving alike: a copy keeps it whole and unchanged, or
// drops it whole when it is a comment, an empty key or the line being
// replaced. Were its tail read as a line of its own, it could hold a key or
// header that a save never sees.
PieceAction PassLongLine(std::FILE* fp, std::FILE* bak_fp, const char* raw, std::size_t len,
                         int lineClass, const char* key, const char* pKey) noexcept {
    const bool replaced = lineClass == 0 && std::strcmp(key, pKey) == 0;
    const bool keep = bak_fp != nullptr && lineClass == 0 && !replaced && *key != '\0';
    if (keep && !WriteAll(bak_fp, raw, len)) {
        return PieceAction::kFailed;
    }
    if (!etc_PassRestOfLine(fp, keep ? bak_fp : nullptr)) {
        return PieceAction::kFailed;
    }
    return replaced ? PieceAction::kFound : PieceAction::kNext;
}

PieceAction PassKeyLine(std::FILE* bak_fp, const char* key, const char* value,
                        const char* pKey) noexcept {
    if (std::strcmp(key, pKey) == 0) {
        return PieceAction::kFound;
    }
    if (bak_fp != nullptr && *key != '\0' && !WriteKeyLine(bak_fp, key, value)) {
        return PieceAction::kFailed;
    }
    return PieceAction::kNext;
}

// Classifies one piece (raw, len) and acts on it; line is the parse buffer
// and *value is left pointing into it for a found key.
PieceAction HandlePiece(std::FILE* fp, const char* raw, std::size_t len, bool longLine, char* line,
                        const char* pKey, std::FILE* bak_fp, char** value) noexcept {
    std::memcpy(line, raw, len + 1);
    if (line[len - 1] == '\n') {
        line[len - 1] = '\0';
    }
    char* key = nullptr;
    const int lineClass = get_key_value(line, &key, value);
    if (lineClass == 1) {
        // Leave the header to be read again by whoever continues.
        return std::fseek(fp, -static_cast<long>(len), SEEK_CUR) == 0 ? PieceAction::kPushedBack
                                                                      : PieceAction::kFailed;
    }
    if (longLine) {
        return PassLongLine(fp, bak_fp, raw, len, lineClass, key, pKey);
    }
    return lineClass == 0 ? PassKeyLine(bak_fp, key, *value, pKey) : PieceAction::kNext;
}

}  // namespace

// A piece that filled the read without reaching a newline is the head of a
// longer line, unless the file ends there or only its newline is left; that
// newline is then taken into the piece so the line counts as whole.
bool etc_PieceContinues(std::FILE* fp, char* piece, std::size_t& len) noexcept {
    if (len < kPieceChars || piece[len - 1] == '\n') {
        return false;
    }
    const int next = getc_unlocked(fp);
    if (next == EOF) {
        return false;
    }
    if (next == '\n') {
        piece[len++] = '\n';
        piece[len] = '\0';
        return false;
    }
    return std::ungetc(next, fp) != EOF;
}

// Consumes the rest of a long line, copying it into copy_fp when non-null.
bool etc_PassRestOfLine(std::FILE* fp, std::FILE* copy_fp) noexcept {
    int c = 0;
    while ((c = getc_unlocked(fp)) != EOF) {
        if (copy_fp != nullptr && putc_unlocked(c, copy_fp) == EOF) {
            return false;
        }
        if (c == '\n') {
            break;
        }
    }
    return std::ferror(fp) == 0;
}

int etc_LocateSection(std::FILE* fp, const char* pSection, std::FILE* bak_fp) noexcept {
    char line[kLineBufSize];
    for (;;) {
        std::size_t len = etc_ReadPiece(fp, line, kReadSize);
        if (len == 0) {
            return std::ferror(fp) != 0 ? kEtcIoError : kEtcNoSection;
        }
        // A long line is passed whole (copied unchanged when copying): its
        // tail is no line of its own and so never a header.
        const bool lineGoesOn = etc_PieceContinues(fp, line, len);
        if (bak_fp != nullptr && !WriteAll(bak_fp, line, len)) {
            return kEtcIoError;
        }
        if (lineGoesOn && !etc_PassRestOfLine(fp, bak_fp)) {
            return kEtcIoError;
        }
        const char* name = get_section_name(line);
        if (name != nullptr && std::strcmp(name, pSection) == 0) {
            return kEtcOk;
        }
    }
}

int etc_LocateKeyValue(std::FILE* fp, const char* pKey, char* pValue, int iLen,
                       std::FILE* bak_fp) noexcept {
    char raw[kLineBufSize];
    char line[kParseBufSize];
    for (;;) {
        std::size_t len = etc_ReadPiece(fp, raw, kReadSize);
        if (len == 0) {
            return kEtcIoError;
        }
        const bool longLine = etc_PieceContinues(fp, raw, len);
        char* value = nullptr;
        switch (HandlePiece(fp, raw, len, longLine, line, pKey, bak_fp, &value)) {
            case PieceAction::kFound:
                if (pValue != nullptr) {
                    CopyValue(pValue, iLen, value);
                }
                return kEtcOk;
            case PieceAction::kPushedBack:
                return kEtcNoKey;
            case PieceAction::kFailed:
                return kEtcIoError;
            case PieceAction::kNext:
                break;
        }
    }
}

}  // namespace etcfile
