// The save operations: set one key, through a scratch copy that is written
// back into the same file so it keeps its owner, mode and inode.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "etc_internal.h"
#include "etcfile.h"
#include "qd_log.h"
#include "qd_owners.h"

namespace etcfile {

namespace {

constexpr std::size_t kIntTextSize = 32;
// How often the file is opened again when its name was removed or replaced
// while this save waited for the lock.
constexpr int kOpenTries = 10;

// Owns the scratch file: closed and removed on every path.
class ScratchFile {
  public:
    explicit ScratchFile(const struct stat* pTarget) noexcept
        : fp_(etc_opentempfile(name_, pTarget)) {}
    ~ScratchFile() {
        if (fp_) {
            etc_closetempfile(std::move(fp_), name_);
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::FILE* get() const noexcept { return fp_.get(); }

  private:
    char name_[kTempNameSize] = {};
    qd::FilePtr fp_;
};

// The reader takes a line of more than one piece as one line and reads
// only its first piece; a line it could not give back whole is refused.
bool FitsOneLine(const char* pSection, const char* pKey, const char* pValue) noexcept {
    const bool headerFits = pSection == nullptr || std::strlen(pSection) + 2 <= kPieceChars;
    return headerFits && std::strlen(pKey) + 1 + std::strlen(pValue) <= kPieceChars;
}

// A text that would read back as something else, or start a line of its
// own (a "[seal]" header slipped into a value), is never written.
bool Savable(const char* pEtcFile, const char* pSection, const char* pKey,
             const char* pValue) noexcept {
    const char* refused = nullptr;
    if (pSection != nullptr && !etc_SavableSection(pSection)) {
        refused = "section name";
    } else if (!etc_SavableKey(pKey)) {
        refused = "key";
    } else if (!etc_SavableValue(pValue)) {
        refused = "value";
    }
    if (refused != nullptr) {
        QD_LOG_ERR("%s: not saved: the %s would not read back as given\n", pEtcFile, refused);
    }
    return refused == nullptr;
}

struct Target {
    qd::UniqueFd fd;
    bool created = false;
};

Target OpenTarget(const char* pEtcFile) noexcept {
    Target t;
    t.fd.reset(::open(pEtcFile, O_RDWR | O_CLOEXEC));
    // Only a missing file is created: one that exists but cannot be opened
    // for reading and writing must not be overwritten as if it were new.
    if (!t.fd.valid() && errno == ENOENT) {
        t.fd.reset(::open(pEtcFile, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        t.created = t.fd.valid();
    }
    return t;
}

// Saves hold the lock from before their read until the copy back ends, so
// each one starts from the last one's result. It is taken on the target's
// own descriptor: an fcntl lock would go with the first close of any
// descriptor of the file. Where the file system has no locks the save goes
// on unlocked.
void LockTarget(int fd) noexcept {
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// A save that waited for the lock may find the name removed (a creation
// that failed) or given to another file meanwhile.
bool StillNamed(const char* pEtcFile, int fd, struct stat& st) noexcept {
    struct stat named {};
    return ::fstat(fd, &st) == 0 && ::stat(pEtcFile, &named) == 0 && named.st_dev == st.st_dev &&
           named.st_ino == st.st_ino;
}

int WriteNewFile(std::FILE* fp, const char* pEtcFile, const char* pSection, const char* pKey,
                 const char* pValue) noexcept {
    bool ok = pSection == nullptr || std::fprintf(fp, "[%s]\n", pSection) >= 0;
    ok = ok && std::fprintf(fp, "%s=%s\n", pKey, pValue) >= 0;
    if (std::fflush(fp) != 0 || !ok) {
        // A half-written new file is worse than none.
        static_cast<void>(std::remove(pEtcFile));
        QD_LOG_ERR("write %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    return kEtcOk;
}

// Takes the room for a longer content before the first byte is overwritten,
// leaving the file's size and bytes as they are. File systems that cannot
// reserve (UBIFS, JFFS2) are rewritten without it.
bool ReserveRoom(int fd, off_t oldSize, off_t newSize) noexcept {
    if (newSize <= oldSize) {
        return true;
    }
    int rc = 0;
    while ((rc = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, newSize)) != 0 && errno == EINTR) {
    }
    return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

// Overwrites the file in place with the scratch copy and cuts what is left
// over. A failure once writing has begun leaves the file incomplete, which
// the result and an error line report.
int CopyBack(std::FILE* etc_fp, std::FILE* tmp_fp, const char* pEtcFile, off_t oldSize) noexcept {
    struct stat copy {};
    if (::fstat(fileno(tmp_fp), &copy) != 0 ||
        !ReserveRoom(fileno(etc_fp), oldSize, copy.st_size)) {
        QD_LOG_ERR("no room to save %s\n", pEtcFile);
        return kEtcIoError;
    }
    bool ok = std::fseek(tmp_fp, 0, SEEK_SET) == 0 && std::fseek(etc_fp, 0, SEEK_SET) == 0 &&
              etc_FileCopy(tmp_fp, etc_fp) == kEtcOk && std::fflush(etc_fp) == 0;
    ok = ok && (copy.st_size >= oldSize || ::ftruncate(fileno(etc_fp), copy.st_size) == 0);
    if (!ok) {
        QD_LOG_ERR("write %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    return kEtcOk;
}

int SaveExisting(std::FILE* etc_fp, const char* pEtcFile, const struct stat& target,
                 const char* pSection, const char* pKey, const char* pValue) noexcept {
    const ScratchFile scratch(&target);
    if (scratch.get() == nullptr) {
        QD_LOG_ERR("etc_opentempfile failed\n");
        return kEtcNoScratch;
    }
    if (etc_AssembleCopy(etc_fp, scratch.get(), pSection, pKey, pValue) != kEtcOk) {
        QD_LOG_ERR("etc_FileCopy ERROR\n");
        return kEtcIoError;
    }
    return CopyBack(etc_fp, scratch.get(), pEtcFile, target.st_size);
}

// Saves into the opened, locked file. The lock goes with the stream's
// close, once the scratch copy is gone; a close that fails may have lost
// the last bytes written.
int SaveLocked(Target t, const struct stat& st, const char* pEtcFile, const char* pSection,
               const char* pKey, const char* pValue) noexcept {
    qd::FilePtr etc_fp(S_ISREG(st.st_mode) ? ::fdopen(t.fd.get(), "r+") : nullptr);
    if (!etc_fp) {
        QD_LOG_ERR("open %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    static_cast<void>(t.fd.release());  // the stream owns it now
    // Another save may have filled the file between its creation and the lock.
    const int ret = t.created && st.st_size == 0
                        ? WriteNewFile(etc_fp.get(), pEtcFile, pSection, pKey, pValue)
                        : SaveExisting(etc_fp.get(), pEtcFile, st, pSection, pKey, pValue);
    if (!qd::CloseChecked(etc_fp) && ret == kEtcOk) {
        QD_LOG_ERR("write %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    return ret;
}

int SaveValue(const char* pEtcFile, const char* pSection, const char* pKey,
              const char* pValue) noexcept {
    if (pEtcFile == nullptr || pKey == nullptr || pValue == nullptr) {
        return kEtcIoError;
    }
    if (!Savable(pEtcFile, pSection, pKey, pValue)) {
        return kEtcIoError;
    }
    if (!FitsOneLine(pSection, pKey, pValue)) {
        QD_LOG_ERR("%s: a line longer than %zu characters is not saved\n", pEtcFile, kPieceChars);
        return kEtcIoError;
    }
    for (int i = 0; i < kOpenTries; ++i) {
        Target t = OpenTarget(pEtcFile);
        if (!t.fd.valid() && errno != EEXIST) {
            break;
        }
        struct stat st {};
        if (t.fd.valid()) {
            LockTarget(t.fd.get());
            if (StillNamed(pEtcFile, t.fd.get(), st)) {
                return SaveLocked(std::move(t), st, pEtcFile, pSection, pKey, pValue);
            }
        }
    }
    QD_LOG_ERR("open %s failed\n", pEtcFile);
    return kEtcIoError;
}

int SaveIntValue(const char* pEtcFile, const char* pSection, const char* pKey, int Value) noexcept {
    char text[kIntTextSize];
    static_cast<void>(std::snprintf(text, sizeof text, "%d", Value));
    return SaveValue(pEtcFile, pSection, pKey, text);
}

}  // namespace

}  // namespace etcfile

int EtcSaveValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                     const char* pValue) noexcept {
    return etcfile::SaveValue(pEtcFile, pSection, pKey, pValue);
}

int EtcSaveIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                        int Value) noexcept {
    return etcfile::SaveIntValue(pEtcFile, pSection, pKey, Value);
}
