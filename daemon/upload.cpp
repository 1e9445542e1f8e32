// The upload handler: a header, the package streamed to a file in 4096-byte
// chunks under a time budget, then the package library's verification and
// installation.
#include "upload.h"

#include <algorithm>
#include <cstdio>

#include "installers.h"
#include "libqdupdate.h"
#include "package_seal.h"
#include "qd_bytes.h"
#include "qd_files.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "timed_socket.h"

namespace {

constexpr int kHeaderBudgetMs = 10000;
constexpr int kChunkBudgetMs = 5000;
constexpr int kChunkSize = 4096;
constexpr std::size_t kWriteBlockSize = std::size_t{16} * kChunkSize;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kHeadTextSize = 128;

// The declared length, or 0 when the header is incomplete or refused. A
// length with the top bit set is negative as a signed word and refused here,
// before any file exists.
std::int32_t ReadHeaderLength(int fd) noexcept {
    unsigned char header[qd::kUploadHeaderSize];
    if (ff_url_tcpread(fd, header, sizeof header, kHeaderBudgetMs) !=
        static_cast<int>(sizeof header)) {
        return 0;
    }
    if (qd::LoadBe32(header) != qd::kUploadMagic) {
        return 0;
    }
    const auto length = static_cast<std::int32_t>(qd::LoadBe32(header + qd::kUploadLengthOffset));
    return length > 0 ? length : 0;
}

// Chunks are gathered into blocks of 64 KiB before they are written, and
// the write rule of qd::WriteAllRetrying applies to each block. The page
// cache takes one such write far more cheaply than sixteen of 4 KiB (fewer
// calls, larger folios), and so does every later pass over the file:
// verification, extraction and removal. A failed upload discards the file
// anyway. Each block is hashed just before it is written, while it is still
// in cache.
bool StreamBody(int fd, std::FILE* file, std::int32_t length, PrefixDigest& digest) noexcept {
    unsigned char block[kWriteBlockSize];
    std::size_t used = 0;
    std::int32_t remaining = length;
    while (remaining > 0) {
        const int wanted = std::min(remaining, static_cast<std::int32_t>(kChunkSize));
        const int got = ff_url_tcpread(fd, block + used, wanted, kChunkBudgetMs);
        if (got <= 0) {
            return false;
        }
        used += static_cast<std::size_t>(got);
        remaining -= got;
        if (remaining == 0 || used + kChunkSize > sizeof block) {
            digest.Update(block, used);
            if (qd::WriteAllRetrying(file, block, used) != used) {
                return false;
            }
            used = 0;
        }
    }
    return true;
}

// The package file exists afterwards only when the whole body was received
// and stored. It replaces an older one but never writes through a link.
bool ReceivePackage(int fd, const char* path, std::int32_t length, PrefixDigest& digest) noexcept {
    qd::FilePtr file = qd::CreateFreshFile(path);
    if (!file) {
        return false;
    }
    // Unbuffered, so a write that fails is seen at the block that failed and
    // not at some later flush. Should that fail, the failure still shows,
    // only later: at the checked close.
    static_cast<void>(std::setvbuf(file.get(), nullptr, _IONBF, 0));
    bool stored = StreamBody(fd, file.get(), length, digest);
    stored = qd::CloseChecked(file) && stored;
    if (!stored) {
        static_cast<void>(std::remove(path));
    }
    return stored;
}

// The package as received, with the SHA-256 of all but its last 128 bytes.
// -1 for a failed upload.
int ReceiveWithDigest(int fd, const char* path, std::int32_t length,
                      unsigned char* prefixSha256) noexcept {
    PrefixDigest digest(static_cast<std::uint64_t>(length));
    if (!ReceivePackage(fd, path, length, digest)) {
        return -1;
    }
    if (!digest.Final(prefixSha256)) {
        QD_LOG_ERR("package refused: its SHA-256 could not be computed\n");
        return -1;
    }
    return 0;
}

// The package's own device identifier is the expected one, so every
// well-formed package passes the device check. The seal is judged after
// the head is read and before the package library installs anything.
int InstallPackage(const char* path, const unsigned char* prefixSha256, const QDBOOT_CFG_T& cfg,
                   const SealConfig& seal) noexcept {
    char name[kHeadTextSize];
    char version[kHeadTextSize];
    char devId[kHeadTextSize];
    if (libqdupk_pkgversion(path, name, version, devId) != 0) {
        return -1;
    }
    const int checked = CheckPackageSeal(path, prefixSha256, seal);
    if (checked != 0) {
        return checked;
    }
    const InstallConfigScope installWith(cfg);
    return libqdupk_update(path, devId, cfg.szTmpDir, qdboot_updatecallback);
}

}  // namespace

int client_update(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal) noexcept {
    const std::int32_t length = ReadHeaderLength(fd);
    if (length == 0) {
        return -1;
    }
    char path[kPathSize];
    if (!qd::FormatText(path, sizeof path, "%s/qboot.upg", cfg.szTmpDir)) {
        QD_LOG_ERR("temporary directory too long for the package file: %s\n", cfg.szTmpDir);
        return -1;
    }
    unsigned char prefixSha256[kPrefixDigestSize];
    if (ReceiveWithDigest(fd, path, length, prefixSha256) != 0) {
        return -1;
    }
    const int result = InstallPackage(path, prefixSha256, cfg, seal);
    static_cast<void>(std::remove(path));
    return result;
}
