// The steps of an update, shared by the library's source files. Each step
// prints its own error line and returns 0 or a QDUPKERR_* code.
#ifndef QDUPK_PKG_STEPS_H
#define QDUPK_PKG_STEPS_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "libqdupdate.h"
#include "qdupdate.h"

namespace qdupk {

// Chunk of item data read, digested or copied at a time.
constexpr std::size_t kChunkSize = 4096;
// Longest temporary directory for which "%s/updatetmp.bin" fits 128 bytes.
constexpr std::size_t kMaxTempDirLength = QDUPK_TEXT_SIZE - sizeof("/updatetmp.bin");

bool SeekTo(std::FILE* fpFile, off_t offset) noexcept;

// Reads and checks the head at offset 0 and decodes its text in place.
int GetPkgHead(std::FILE* fpFile, QDUPK_PACKHEAD_T* pPkgHead) noexcept;
// Reads the item head at the current position and checks it as item `index`.
int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem) noexcept;
// Reads and checks the end record at the current position.
int ReadPackEnd(std::FILE* fpFile) noexcept;

// Verification pass: every item head and digest, then the end record.
int checkupk(std::FILE* fpFile, const QDUPK_PACKHEAD_T* pPkgHead) noexcept;
int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5) noexcept;

// Extraction pass, after a successful verification.
int CopyItem(std::FILE* fpFile, std::int32_t nItems, const char* szTempDir,
             QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept;
int MyCopyFile(std::FILE* fpDst, std::FILE* fpSrc, std::int32_t size) noexcept;

}  // namespace qdupk

#endif  // QDUPK_PKG_STEPS_H
