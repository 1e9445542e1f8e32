// The steps of an update, shared by the library's source files. Each step
// returns 0 or a QDUPKERR_* code. The checks (records, digests, seal, room)
// print nothing: they fill the report's fault record, and the entry point
// that returns the refusal words it (refusal_lines.cpp). Failures while
// items are written are logged where they happen.
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
#include "seal.h"

namespace qdpkg {

// Chunk of item data read, digested or copied at a time.
constexpr std::size_t kChunkSize = 4096;
// Distinct file systems one package may write to; a camera has a handful.
constexpr std::size_t kMaxFileSystems = 16;
// Longest temporary directory for which "%s/updatetmp.bin" fits 128 bytes.
constexpr std::size_t kMaxTempDirLength = QDUPK_TEXT_SIZE - sizeof("/updatetmp.bin");

bool SeekTo(std::FILE* fpFile, off_t offset) noexcept;

// Records the failure in the report and returns its code.
int Fail(Report& report, int code, FaultPart part, FaultKind kind, std::int32_t item = -1) noexcept;

// Close-on-exec, and an error line when it cannot be opened.
qd::FilePtr OpenPackage(const char* szFileName, Report& report) noexcept;

// The record readers read through fread; what they read is also fed to
// `prefix` when the walk takes the SHA-256 before the seal.
// Reads and checks the head at offset 0 and decodes its text in place.
int GetPkgHead(std::FILE* fpFile, QDUPK_PACKHEAD_T* pPkgHead, Report& report,
               Sha256* prefix = nullptr) noexcept;
// Reads the item head at the current position and checks it as item `index`.
int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem, Report& report,
                 Sha256* prefix) noexcept;
// Reads and checks the end record at the current position.
int ReadPackEnd(std::FILE* fpFile, Report& report, Sha256* prefix) noexcept;
// Reads `size` bytes of item data into its MD5 (and `prefix`), with a
// trace line per chunk when `trace`.
int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5, Report& report,
                Sha256* prefix, bool trace) noexcept;

// Given as the device, the package's own: every package passes the
// device check, and one for every device is still logged as such.
extern const char kOwnDevice[];

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
// largest temporary file. QDUPKERR_COPY otherwise, the fault (part kRoom)
// saying why.
int CheckItemsFit(const PackageIndex& index, const char* szTempDir, Report& report) noexcept;

// The room check with the temporary directory's length: refused before
// the first item, so a package is never half installed because a temporary
// path or an item's data would not fit.
int ReadyToExtract(const PackageIndex& index, const char* szTempDir, Report& report) noexcept;
// Extraction pass over an indexed package whose checks all passed: each
// item's data, read from its offset, to its file and the install callback.
// *pFailed, when given, is set to the position of the item that failed.
int ExtractItems(std::FILE* fpFile, const PackageIndex& index, const char* szTempDir,
                 QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb,
                 std::int32_t* pFailed = nullptr) noexcept;
int MyCopyFile(std::FILE* fpDst, std::FILE* fpSrc, std::int32_t size) noexcept;

// Where an entry point reports a refusal from: its error lines carry the
// entry point's file and line, not those of the step that found it.
struct LogSite {
    const char* file;
    int line;
};
#define QDUPK_HERE (::qdpkg::LogSite{__FILE__, __LINE__})

// The error lines of a walk that refused the package, as the device has
// always logged them (szFileName and head as far as known); with `update`,
// then the update's own line: "get file head error" or "crc packet error".
void LogWalkRefusal(const LogSite& at, const Fault& fault, const char* szFileName,
                    const QDUPK_PACKHEAD_T& head, bool update) noexcept;
// The error line of a room refusal recorded in `fault` (part kRoom).
void LogRoomRefusal(const LogSite& at, const Fault& fault, const char* szTempDir) noexcept;
// The error line of a seal refusal recorded in `fault` (part kSeal).
void LogSealRefusal(const LogSite& at, const Fault& fault, const QDUPK_SEALINFO_T& info) noexcept;

}  // namespace qdpkg

#endif  // QDUPK_PKG_STEPS_H
