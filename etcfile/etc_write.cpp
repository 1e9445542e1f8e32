// The save operations: set one key, through a scratch copy that is written
// back into the same file so it keeps its owner, mode and inode.
#include <cerrno>
#include <cstdio>
#include <utility>

#include "etc_internal.h"
#include "etcfile.h"
#include "qd_log.h"
#include "qd_owners.h"

namespace etcfile {

namespace {

constexpr std::size_t kIntTextSize = 32;

// Owns the scratch file: closed and removed on every path.
class ScratchFile {
  public:
    explicit ScratchFile(const struct stat* pTarget) noexcept
        : fp_(etc_opentempfile(name_, pTarget)) {}
    ~ScratchFile() {
        if (fp_ != nullptr) {
            etc_closetempfile(fp_, name_);
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::FILE* get() const noexcept { return fp_; }

  private:
    char name_[kTempNameSize] = {};
    std::FILE* fp_;
};

int CreateNewFile(const char* pEtcFile, const char* pSection, const char* pKey,
                  const char* pValue) noexcept {
    // "x": never truncate a file that appeared meanwhile.
    std::FILE* fp = std::fopen(pEtcFile, "wx");
    if (fp == nullptr) {
        QD_LOG_ERR("open %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    bool ok = pSection == nullptr || std::fprintf(fp, "[%s]\n", pSection) >= 0;
    ok = ok && std::fprintf(fp, "%s=%s\n", pKey, pValue) >= 0;
    ok = std::fclose(fp) == 0 && ok;
    if (!ok) {
        // A half-written new file is worse than none.
        static_cast<void>(std::remove(pEtcFile));
        QD_LOG_ERR("write %s failed\n", pEtcFile);
        return kEtcIoError;
    }
    return kEtcOk;
}

// Empties the file and writes the scratch copy into it. From here on a
// failure leaves the file incomplete, which the result reports.
int CopyBack(const char* pEtcFile, std::FILE* tmp_fp) noexcept {
    std::FILE* out = std::fopen(pEtcFile, "w");
    if (out == nullptr) {
        QD_LOG_ERR("create %s error\n", pEtcFile);
        return kEtcIoError;
    }
    int rc = std::fseek(tmp_fp, 0, SEEK_SET) == 0 ? etc_FileCopy(tmp_fp, out) : kEtcIoError;
    if (std::fclose(out) != 0) {
        rc = kEtcIoError;
    }
    return rc;
}

int SaveExisting(qd::FilePtr etc_fp, const char* pEtcFile, const char* pSection, const char* pKey,
                 const char* pValue) noexcept {
    struct stat target {};
    const bool known = ::fstat(fileno(etc_fp.get()), &target) == 0;
    const ScratchFile scratch(known ? &target : nullptr);
    if (scratch.get() == nullptr) {
        QD_LOG_ERR("etc_opentempfile failed\n");
        return kEtcNoScratch;
    }
    if (etc_AssembleCopy(etc_fp.get(), scratch.get(), pSection, pKey, pValue) != kEtcOk) {
        QD_LOG_ERR("etc_FileCopy ERROR\n");
        return kEtcIoError;
    }
    etc_fp.reset();
    return CopyBack(pEtcFile, scratch.get());
}

int SaveValue(const char* pEtcFile, const char* pSection, const char* pKey,
              const char* pValue) noexcept {
    if (pEtcFile == nullptr || pKey == nullptr || pValue == nullptr) {
        return kEtcIoError;
    }
    qd::FilePtr etc_fp(std::fopen(pEtcFile, "r+"));
    if (etc_fp) {
        return SaveExisting(std::move(etc_fp), pEtcFile, pSection, pKey, pValue);
    }
    // Only a missing file is created: one that exists but cannot be opened
    // for reading and writing must not be overwritten as if it were new.
    if (errno == ENOENT) {
        return CreateNewFile(pEtcFile, pSection, pKey, pValue);
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
