// The scratch file in which a save assembles the file's new content.
#include <cstdio>

#include "etc_internal.h"
#include "qd_text.h"

namespace etcfile {

namespace {

bool IsSameFile(const char* name, const struct stat* pTarget) noexcept {
    struct stat st {};
    return pTarget != nullptr && ::stat(name, &st) == 0 && st.st_dev == pTarget->st_dev &&
           st.st_ino == pTarget->st_ino;
}

}  // namespace

std::FILE* etc_opentempfile(char* szFileName, const struct stat* pTarget) noexcept {
    for (int i = 0; i < kTempFileTries; ++i) {
        if (!qd::FormatText(szFileName, kTempNameSize, "./etc%d.ini", i)) {
            continue;
        }
        // Saving "./etc0.ini" itself must not empty it as its own scratch.
        if (IsSameFile(szFileName, pTarget)) {
            continue;
        }
        std::FILE* fp = std::fopen(szFileName, "w+");
        if (fp != nullptr) {
            return fp;
        }
    }
    return nullptr;
}

void etc_closetempfile(std::FILE* fpFile, const char* szFileName) noexcept {
    if (fpFile != nullptr) {
        static_cast<void>(std::fclose(fpFile));
    }
    static_cast<void>(std::remove(szFileName));
}

}  // namespace etcfile
