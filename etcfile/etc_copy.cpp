// Assembling a file's new content in the scratch file: the part up to the
// key is copied through the lookups, then the new line, then the rest.
#include <cstdio>

#include "etc_internal.h"

namespace etcfile {

namespace {

// The lookups report a read error like the end of the file; the streams'
// error flags tell the two apart.
bool StreamsFailed(std::FILE* a, std::FILE* b) noexcept {
    return std::ferror(a) != 0 || std::ferror(b) != 0;
}

// Whether the copy so far ends a line. It does not when the section's header
// (or a long line kept whole) was the file's last line, without a newline;
// a key written straight after it would be glued onto that line and lost.
bool EndsLine(std::FILE* tmp_fp) noexcept {
    if (std::ftell(tmp_fp) <= 0) {
        return true;
    }
    if (std::fseek(tmp_fp, -1, SEEK_END) != 0) {
        return false;
    }
    const int last = std::fgetc(tmp_fp);
    return std::fseek(tmp_fp, 0, SEEK_END) == 0 && last == '\n';
}

bool WriteNewLines(std::FILE* tmp_fp, int located, const char* pSection, const char* pKey,
                   const char* pValue) noexcept {
    switch (located) {
        case kEtcOk:
            return std::fprintf(tmp_fp, "%s=%s\n", pKey, pValue) >= 0;
        case kEtcNoKey:
            if (!EndsLine(tmp_fp) && std::fputc('\n', tmp_fp) == EOF) {
                return false;
            }
            return std::fprintf(tmp_fp, "%s=%s\n\n", pKey, pValue) >= 0;
        case kEtcNoSection:
            return std::fprintf(tmp_fp, "\n[%s]\n%s=%s\n", pSection, pKey, pValue) >= 0;
        default:
            return false;
    }
}

}  // namespace

int etc_CopyAndLocate(std::FILE* etc_fp, std::FILE* tmp_fp, const char* pSection,
                      const char* pKey) noexcept {
    if (pSection != nullptr) {
        const int rc = etc_LocateSection(etc_fp, pSection, tmp_fp);
        if (rc != kEtcOk) {
            return StreamsFailed(etc_fp, tmp_fp) || rc == kEtcIoError ? kEtcIoError : kEtcNoSection;
        }
    }
    if (etc_LocateKeyValue(etc_fp, pKey, nullptr, 0, tmp_fp) != kEtcOk) {
        // The lookup gives -3 for a pushed-back header and -5 for the end of
        // the file alike: both mean the key is missing unless a stream failed.
        return StreamsFailed(etc_fp, tmp_fp) ? kEtcIoError : kEtcNoKey;
    }
    return kEtcOk;
}

int etc_FileCopy(std::FILE* sf, std::FILE* df) noexcept {
    char chunk[kCopyChunk + 1];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, kCopyChunk, sf);
        if (n > 0 && std::fwrite(chunk, 1, n, df) != n) {
            return kEtcIoError;
        }
        if (n < kCopyChunk) {
            break;
        }
    }
    return std::ferror(sf) != 0 ? kEtcIoError : kEtcOk;
}

int etc_AssembleCopy(std::FILE* etc_fp, std::FILE* tmp_fp, const char* pSection, const char* pKey,
                     const char* pValue) noexcept {
    const int located = etc_CopyAndLocate(etc_fp, tmp_fp, pSection, pKey);
    if (!WriteNewLines(tmp_fp, located, pSection, pKey, pValue)) {
        return kEtcIoError;
    }
    if (etc_FileCopy(etc_fp, tmp_fp) != kEtcOk) {
        return kEtcIoError;
    }
    // A full disk often shows only when the buffer is written out; the file
    // must not be emptied before the scratch copy is known to be complete.
    return std::fflush(tmp_fp) == 0 && std::ferror(tmp_fp) == 0 ? kEtcOk : kEtcIoError;
}

}  // namespace etcfile
