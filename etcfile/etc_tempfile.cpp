// The scratch file in which a save assembles the file's new content.
#include <cstdio>

#include "etc_internal.h"
#include "qd_files.h"
#include "qd_text.h"

namespace etcfile {

namespace {

bool IsSameFile(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool NamesTarget(const char* name, const struct stat* pTarget) noexcept {
    struct stat st {};
    return pTarget != nullptr && ::stat(name, &st) == 0 && IsSameFile(st, *pTarget);
}

}  // namespace

qd::FilePtr etc_opentempfile(char* szFileName, const struct stat* pTarget) noexcept {
    for (int i = 0; i < kTempFileTries; ++i) {
        if (!qd::FormatText(szFileName, kTempNameSize, "./etc%d.ini", i)) {
            continue;
        }
        // Saving "./etc0.ini" itself must not remove it as a stale scratch.
        if (NamesTarget(szFileName, pTarget)) {
            continue;
        }
        // The working directory may be shared: whatever stands under the
        // name, a link planted there included, is replaced, never written.
        qd::FilePtr fp = qd::CreateFreshFile(szFileName, true);
        if (fp) {
            return fp;
        }
    }
    return nullptr;
}

void etc_closetempfile(qd::FilePtr fpFile, const char* szFileName) noexcept {
    struct stat ours {};
    struct stat named {};
    bool mine = true;
    if (fpFile) {
        // A save running beside us in the same directory may have replaced
        // the name with its own scratch file meanwhile; that one stays.
        mine = ::fstat(fileno(fpFile.get()), &ours) != 0 || ::lstat(szFileName, &named) != 0 ||
               IsSameFile(ours, named);
        // Its content is of no use once the save is over, so a close error
        // changes nothing.
        fpFile.reset();
    }
    if (mine) {
        // Gone already is as good as removed.
        static_cast<void>(std::remove(szFileName));
    }
}

}  // namespace etcfile
