// The upload handler: a header, the package streamed to a file in 4096-byte
// chunks under a time budget, then the package library's verification and
// installation.
#include "upload.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "installers.h"
#include "libqdupdate.h"
#include "package_seal.h"
#include "pkg_identity.h"
#include "pkg_install.h"
#include "qd_bytes.h"
#include "qd_files.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "timed_socket.h"
#include "upload_journal.h"
#include "upload_reason.h"

namespace {

constexpr int kHeaderBudgetMs = 10000;
constexpr int kChunkBudgetMs = 5000;
constexpr int kChunkSize = 4096;
constexpr std::size_t kWriteBlockSize = std::size_t{16} * kChunkSize;
constexpr std::size_t kPathSize = 256;
static_assert(qdpkg::kPackageIdentityDigits <= qd::kStatusIdentitySize,
              "an identity fits the status field");

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
// and stored; it is handed back open for reading, and everything after the
// receive reads it through that descriptor, never by name again. It
// replaces an older file but never writes through a link.
qd::UniqueFd ReceivePackage(int fd, const char* path, std::int32_t length,
                            PrefixDigest& digest) noexcept {
    qd::FilePtr file = qd::CreateFreshFile(path, true);
    if (!file) {
        return qd::UniqueFd();
    }
    // Unbuffered, so a write that fails is seen at the block that failed and
    // not at some later flush. Should that fail, the failure still shows,
    // only later: at the checked close.
    static_cast<void>(std::setvbuf(file.get(), nullptr, _IONBF, 0));
    bool stored = StreamBody(fd, file.get(), length, digest);
    qd::UniqueFd kept(::fcntl(fileno(file.get()), F_DUPFD_CLOEXEC, 0));
    stored = qd::CloseChecked(file) && kept.valid() && stored;
    if (!stored) {
        static_cast<void>(std::remove(path));
        kept.reset();
    }
    return kept;
}

// The SHA-256 of all but a package's last 128 bytes (what a seal covers),
// and of the whole file (an unsealed package's identity).
struct PackageDigests {
    unsigned char prefix[QDUPK_SHA256_SIZE];
    unsigned char whole[QDUPK_SHA256_SIZE];
};

// A package found unsealed, also one refused before its seal was read, is
// named by the whole file's digest.
void IdentityOf(const PackageDigests& digests, const QDUPK_SEALINFO_T& seal,
                char (&identity)[qdpkg::kPackageIdentityDigits + 1]) noexcept {
    qdpkg::FormatPackageIdentity(seal.emState != QDUPK_SEAL_NONE ? digests.prefix : digests.whole,
                                 identity);
}

// The package as received, with its digests. Not valid for a failed upload.
qd::UniqueFd ReceiveWithDigest(int fd, const char* path, std::int32_t length,
                               PackageDigests& digests) noexcept {
    PrefixDigest digest(static_cast<std::uint64_t>(length));
    qd::UniqueFd package = ReceivePackage(fd, path, length, digest);
    if (package.valid() && !digest.Final(digests.prefix, digests.whole)) {
        QD_LOG_ERR("package refused: its SHA-256 could not be computed\n");
        static_cast<void>(std::remove(path));
        package.reset();
    }
    return package;
}

// The one point after every check and before the first install effect:
// the boot journal and the seal's counter are stored there, so a package
// refused before it leaves both as they were. With the journal, an upgrade
// of the kernel and root file system stores its counter only once it has
// proved that it boots.
class CounterGate final : public qdpkg::InstallGate {
  public:
    CounterGate(const SealPlan& plan, UploadJournal& journal,
                const PackageDigests& digests) noexcept
        : plan_(plan), journal_(journal), digests_(digests) {}
    int BeforeInstall(const QDUPK_SEALINFO_T& seal,
                      const qdpkg::PackageIndex& index) noexcept override {
        head_ = index.head;
        char identity[qdpkg::kPackageIdentityDigits + 1];
        IdentityOf(digests_, seal, identity);
        bool counterNow = true;
        if (journal_.BeforeInstall(index, seal, identity, &counterNow) != 0) {
            why_ = WithReason(why_, journal_.RefusalReason(), journal_.RefusalBrief());
            return -1;
        }
        if (counterNow && !StoreCounterOf(plan_, seal)) {
            why_ = WithReason(why_, qd::kStatusCounterFile, "the counter cannot be stored");
            return -1;
        }
        return 0;
    }

    // Why it refused: the stage and code as the caller sets them, the reason.
    UploadResult Refusal() const noexcept { return why_; }
    // The head of the package that reached the gate.
    const QDUPK_PACKHEAD_T& Head() const noexcept { return head_; }

  private:
    const SealPlan& plan_;
    UploadJournal& journal_;
    const PackageDigests& digests_;
    UploadResult why_{UploadStage::kSeal, -1};
    QDUPK_PACKHEAD_T head_{};
};

// A package's text as a log line may show it: at most its field, anything
// that is not a printable ASCII character shown as '?', so that no package
// can add lines of its own to the log.
template <std::size_t N>
void ShownText(const char (&field)[N], char (&shown)[N]) noexcept {
    std::size_t i = 0;
    for (; i + 1 < N && field[i] != '\0'; ++i) {
        const bool printable = field[i] >= ' ' && field[i] <= '~';
        shown[i] = printable ? field[i] : '?';
    }
    shown[i] = '\0';
}

// Said before the acknowledgement, so the log names what the camera is
// about to reboot into.
void ReportInstalled(const UploadResult& result, const QDUPK_PACKHEAD_T& head,
                     const qdpkg::UpdateOutcome& outcome) noexcept {
    char name[sizeof head.szPktName];
    char version[sizeof head.szPktVersion];
    ShownText(head.szPktName, name);
    ShownText(head.szPktVersion, version);
    QD_LOG_TRACE("installed package %s version %s, identity %s, counter %llu\n", name, version,
                 result.identity, static_cast<unsigned long long>(outcome.seal.nCounter));
}

UploadResult StageResult(const qdpkg::UpdateOutcome& outcome, const SealPlan& plan) noexcept {
    switch (outcome.stage) {
        case qdpkg::UpdateStage::kNone:
            return UploadResult{};
        case qdpkg::UpdateStage::kVerify: {
            // A package without a readable head is no package at all.
            const bool noHead = outcome.part == qdpkg::FaultPart::kPackHead ||
                                outcome.part == qdpkg::FaultPart::kFile;
            return UploadResult{UploadStage::kVerify, noHead ? -1 : outcome.code};
        }
        case qdpkg::UpdateStage::kSeal:
            ReportSealRefusal(outcome.code, outcome.seal, plan);
            return UploadResult{UploadStage::kSeal, outcome.code};
        case qdpkg::UpdateStage::kRoom:
            return UploadResult{UploadStage::kRoom, outcome.code};
        case qdpkg::UpdateStage::kGate:
            return UploadResult{UploadStage::kSeal, -1};
        case qdpkg::UpdateStage::kInstall:
            break;
    }
    return UploadResult{UploadStage::kInstall, outcome.code};
}

// What the items' installation left: the journal records it, and an
// upgrade whose *trial* could not be stored is not acknowledged.
UploadResult Settle(UploadResult result, UploadJournal& journal) noexcept {
    const bool installed = result.stage == UploadStage::kNone;
    if (installed || result.stage == UploadStage::kInstall) {
        if (!journal.AfterInstall(installed, InstallConfigScope::PartitionsTouched()) &&
            installed) {
            result.stage = UploadStage::kInstall;
            result.code = -1;
            return WithReason(result, qd::kStatusJournalFailed,
                              "installed, but the boot journal could not be stored");
        }
    }
    return installed ? WithReason(result, qd::kStatusInstalled, "installed") : result;
}

// The outcome's stage and code, its reason, and the package's identity.
UploadResult Judged(const qdpkg::UpdateOutcome& outcome, const SealPlan& plan,
                    const CounterGate& gate, const PackageDigests& digests) noexcept {
    UploadResult result = StageResult(outcome, plan);
    result = outcome.stage == qdpkg::UpdateStage::kGate
                 ? WithReason(result, gate.Refusal().reason, gate.Refusal().text)
                 : WithOutcomeReason(result, outcome, plan.stored);
    char identity[qdpkg::kPackageIdentityDigits + 1];
    IdentityOf(digests, outcome.seal, identity);
    static_cast<void>(qd::CopyText(result.identity, identity));  // fits: asserted above
    return result;
}

// The seal plan: keys and the lowest counter taken, by the recovery
// system's rules when it runs. Code 0 when the upload may go on.
UploadResult PlanCounter(const SealConfig& seal, const BootenvConfig& boot,
                         SealPlan* plan) noexcept {
    CounterRules rules{};
    if (!CounterRulesFor(boot, &rules)) {
        return WithReason(UploadResult{UploadStage::kSeal, -1}, qd::kStatusJournalFailed,
                          "the boot journal's counter cannot be read");
    }
    if (!PlanSealCheck(seal, rules, plan)) {
        return WithReason(UploadResult{UploadStage::kSeal, -1}, qd::kStatusCounterFile,
                          rules.fileMustExist ? "the counter file is missing or cannot be read"
                                              : "the counter file cannot be read");
    }
    return UploadResult{};
}

// Every package passes the device check (it is checked against its own
// identifier).
UploadResult InstallPackage(int package, const PackageDigests& digests, const QDBOOT_CFG_T& cfg,
                            const SealConfig& seal, const BootenvConfig& boot) noexcept {
    SealPlan plan{};
    const UploadResult planned = PlanCounter(seal, boot, &plan);
    if (planned.code != 0) {
        return planned;
    }
    UploadJournal journal(boot, cfg);
    CounterGate gate(plan, journal, digests);
    qdpkg::DescriptorUpdate update;
    update.szTempDir = cfg.szTmpDir;
    update.seal = qdpkg::SealCheck{digests.prefix, plan.nKeys > 0 ? plan.keys : nullptr, plan.nKeys,
                                   plan.stored};
    update.fdCallback = qdboot_updatecallback;
    update.gate = &gate;
    const InstallConfigScope installWith(journal.InstallConfig());
    const qdpkg::UpdateOutcome outcome = qdpkg::UpdateFromDescriptor(package, update);
    const UploadResult result = Settle(Judged(outcome, plan, gate, digests), journal);
    if (result.code == 0) {
        ReportInstalled(result, gate.Head(), outcome);
    }
    return result;
}

}  // namespace

UploadResult RunUpload(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                       qd::UniqueFd* storage) noexcept {
    return RunUpload(fd, cfg, seal, BootenvConfig{}, storage);
}

UploadResult RunUpload(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                       const BootenvConfig& boot, qd::UniqueFd* storage) noexcept {
    // Not worth receiving: nothing could be installed.
    if (!SealSettingsAllowUploads(seal)) {
        return WithReason(UploadResult{UploadStage::kSeal, -1}, qd::kStatusSealSettings,
                          "the seal settings refuse every upload");
    }
    // A connection without an upload's header (a port probe, say) is no
    // upload: it keeps kStatusNoUpload and is not reported as the last one.
    const std::int32_t length = ReadHeaderLength(fd);
    if (length == 0) {
        return UploadResult{UploadStage::kReceive, -1};
    }
    char path[kPathSize];
    if (!qd::FormatText(path, sizeof path, "%s/qboot.upg", cfg.szTmpDir)) {
        QD_LOG_ERR("temporary directory too long for the package file: %s\n", cfg.szTmpDir);
        return WithReason(UploadResult{UploadStage::kReceive, -1}, qd::kStatusReceiveFailed,
                          "temporary directory too long");
    }
    PackageDigests digests{};
    qd::UniqueFd package = ReceiveWithDigest(fd, path, length, digests);
    if (!package.valid()) {
        return WithReason(UploadResult{UploadStage::kReceive, -1}, qd::kStatusReceiveFailed,
                          "upload cut short or not stored");
    }
    const UploadResult result = InstallPackage(package.get(), digests, cfg, seal, boot);
    static_cast<void>(std::remove(path));
    if (storage != nullptr) {
        *storage = std::move(package);
    }
    return result;
}
