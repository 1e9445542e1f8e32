// The steps of an update, shared by the library's source files. Each step
// prints its own error line and returns 0 or a QDUPKERR_* code; the
// verification steps also fill the report's fault record.
#ifndef QDUPK_PKG_STEPS_H
#define QDUPK_PKG_STEPS_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "libqdupdate.h"
#include "pkg_reader.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qdupdate.h"

// An error line of a verification step, unless the caller words its own.
#define QDUPK_REPORT_ERR(report, ...) \
    do {                              \
        if ((report).printLines) {    \
            QD_LOG_ERR(__VA_ARGS__);  \
        }                             \
    } while (false)

namespace qdupk {

// Chunk of item data read, digested or copied at a time.
constexpr std::size_t kChunkSize = 4096;
// Longest temporary directory for which "%s/updatetmp.bin" fits 128 bytes.
constexpr std::size_t kMaxTempDirLength = QDUPK_TEXT_SIZE - sizeof("/updatetmp.bin");

bool SeekTo(std::FILE* fpFile, off_t offset) noexcept;

// Records the failure in the report and returns its code.
int Fail(Report& report, int code, FaultPart part, FaultKind kind, std::int32_t item = -1) noexcept;

// Close-on-exec, and an error line when it cannot be opened.
qd::FilePtr OpenPackage(const char* szFileName, Report& report) noexcept;

// Reads and checks the head at offset 0 and decodes its text in place.
int GetPkgHead(std::FILE* fpFile, QDUPK_PACKHEAD_T* pPkgHead, Report& report) noexcept;
// Reads the item head at the current position and checks it as item `index`.
int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem,
                 Report& report) noexcept;
// Reads and checks the end record at the current position.
int ReadPackEnd(std::FILE* fpFile, Report& report) noexcept;

// The extraction reads heads the verification has already accepted; it
// has no use for the fault record.
inline int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem) noexcept {
    Report report;
    return ReadItemHead(fpFile, index, pItem, report);
}

// Head, device (skipped without szDevID) and the verification pass;
// nothing is written.
int VerifyPackage(std::FILE* fp, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                  Report& report) noexcept;
// Verification pass: every item head and digest, then the end record.
int checkupk(std::FILE* fpFile, const QDUPK_PACKHEAD_T* pPkgHead, Report& report) noexcept;
int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5,
                Report& report) noexcept;

// The file an item's data is written to: its destination, which stays, or
// a temporary file that is removed after the install callback.
struct ItemFile {
    char szPath[QDUPK_TEXT_SIZE];
    bool bTemporary;
};
// False when the path does not fit its buffer.
bool ChooseItemFile(const QDUPK_PKTITEM_T& item, const char* szTempDir, ItemFile* pFile) noexcept;

// Before the first item has any effect: every item's directory exists and
// each file system has room for all that the package leaves there plus its
// largest temporary file. QDUPKERR_COPY with an error line otherwise.
int CheckItemsFit(std::FILE* fpFile, std::int32_t nItems, const char* szTempDir) noexcept;

// Extraction pass, after a successful verification.
int CopyItem(std::FILE* fpFile, std::int32_t nItems, const char* szTempDir,
             QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept;
int MyCopyFile(std::FILE* fpDst, std::FILE* fpSrc, std::int32_t size) noexcept;

// What a seal is checked against. prefixDigest, when given, is the SHA-256
// of every byte before the last 128, and the data is not read again.
struct SealCheck {
    const unsigned char* prefixDigest = nullptr;
    const unsigned char* keys = nullptr;  // nKeys public keys, back to back
    int nKeys = 0;
    std::uint64_t minCounter = 0;
};
// The records (heads only) and the seal, in the order the codes are
// documented; *pInfo says as much as was found, also on a refusal.
int CheckSeal(const char* szFileName, const SealCheck& check, QDUPK_SEALINFO_T* pInfo) noexcept;

}  // namespace qdupk

#endif  // QDUPK_PKG_STEPS_H
