// The upload handler: a header, the package streamed to a file in 4096-byte
// chunks under a time budget, then the package library's verification and
// installation.
#include "upload.h"

#include <fcntl.h>

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

// Where the body stands: bytes still to come, and how much of the current
// 4096-byte chunk has arrived. Each chunk waits under its own budget, so a
// stall at a chunk boundary ends the upload after one budget, and a stall
// inside a chunk after two (the chunk ends short, the next one waits in
// vain), whichever way the bytes before it were received.
struct BodyCursor {
    std::int32_t remaining;
    int chunkGot;
};

void Advance(BodyCursor& body, int got, bool chunkEndedShort) noexcept {
    body.remaining -= got;
    body.chunkGot = chunkEndedShort ? 0 : (body.chunkGot + got) % kChunkSize;
}

// One chunk's timed read for the rest of the current chunk (at most
// `room`). Bytes received, or 0 or less for a failed upload.
int ReceiveChunk(int fd, unsigned char* at, int room, BodyCursor& body) noexcept {
    for (;;) {
        const int wanted = std::min({body.remaining, kChunkSize - body.chunkGot, room});
        const int got = ff_url_tcpread(fd, at, wanted, kChunkBudgetMs);
        if (got > 0) {
            Advance(body, got, got < wanted);
            return got;
        }
        if (got < 0 || body.chunkGot == 0) {
            return -1;
        }
        body.chunkGot = 0;  // the chunk ended short; the next one has its budget
    }
}

// Bytes into `at`: everything already queued (up to `room`) in one
// receive, as chunks that needed no wait; otherwise a chunk's timed read.
int ReceiveSome(int fd, unsigned char* at, int room, BodyCursor& body) noexcept {
    const int queued = ReceiveQueued(fd, at, std::min(room, body.remaining));
    if (queued > 0) {
        Advance(body, queued, false);
        return queued;
    }
    return queued < 0 ? -1 : ReceiveChunk(fd, at, room, body);
}

// The body goes to the file in blocks of 64 KiB, and the write rule of
// qd::WriteAllRetrying applies to each block. The page cache takes one such
// write far more cheaply than sixteen of 4 KiB (fewer calls, larger
// folios), and so does every later pass over the file: verification,
// extraction and removal. Receiving a block in few calls also means fewer
// acknowledgements sent from inside them. A failed upload discards the
// file anyway. Each block is hashed just before it is written, while it is
// still in cache.
bool StreamBody(int fd, std::FILE* file, std::int32_t length, PrefixDigest& digest) noexcept {
    unsigned char block[kWriteBlockSize];
    std::size_t used = 0;
    BodyCursor body = {length, 0};
    while (body.remaining > 0) {
        const int room = static_cast<int>(sizeof block - used);
        const int got = ReceiveSome(fd, block + used, room, body);
        if (got <= 0) {
            return false;
        }
        used += static_cast<std::size_t>(got);
        if (body.remaining == 0 || used == sizeof block) {
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
// the head is read and before the package library reads the items; its
// counter is stored once the library has verified them all and found
// room, before it writes the first.
int InstallPackage(const char* path, const unsigned char* prefixSha256, const QDBOOT_CFG_T& cfg,
                   const SealConfig& seal) noexcept {
    char name[kHeadTextSize];
    char version[kHeadTextSize];
    char devId[kHeadTextSize];
    if (libqdupk_pkgversion(path, name, version, devId) != 0) {
        return -1;
    }
    PendingCounter counter;
    const int checked = CheckPackageSeal(path, prefixSha256, seal, &counter);
    if (checked != 0) {
        return checked;
    }
    const InstallConfigScope installWith(cfg);
    CounterStoreScope storing(counter);
    return storing.Settle(libqdupk_updatecheck(path, devId, cfg.szTmpDir, qdboot_updatecallback,
                                               qdboot_storecounter_checkcb));
}

// Removes the package file. Held open, its storage outlives the name until
// the holder closes it.
void RemovePackage(const char* path, qd::UniqueFd* storage) noexcept {
    if (storage != nullptr) {
        storage->reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    }
    static_cast<void>(std::remove(path));
}

}  // namespace

int client_update(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                  qd::UniqueFd* storage) noexcept {
    // Not worth receiving: nothing could be installed.
    if (!SealSettingsAllowUploads(seal)) {
        return -1;
    }
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
    RemovePackage(path, storage);
    return result;
}
