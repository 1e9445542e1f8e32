// The status record and the report built from it.
#include "camera_status.h"

#include <cstring>

#include "qd_text.h"
#include "seal_counter.h"

namespace {

constexpr long long kMsPerSecond = 1000;
constexpr std::uint32_t kMaxUptime = 0xFFFFFFFFU;

std::uint32_t UptimeSeconds(long long startMs, long long nowMs) noexcept {
    const long long seconds = nowMs > startMs ? (nowMs - startMs) / kMsPerSecond : 0;
    return seconds > kMaxUptime ? kMaxUptime : static_cast<std::uint32_t>(seconds);
}

// Texts longer than their field are cut: the field says as much as fits.
void AddFullFields(const CameraStatus& status, qd::StatusReport& report) noexcept {
    report.counterKnown = status.counterKnown;
    report.counter = status.counter;
    report.lastResult = status.lastResult;
    static_cast<void>(qd::CopyText(report.lastText, status.lastText));
    static_cast<void>(qd::CopyText(report.lastIdentity, status.lastIdentity));
    if (status.view == JournalView::kRead) {
        static_cast<void>(qd::CopyText(report.name, status.journal.name));
        static_cast<void>(qd::CopyText(report.pkgVersion, status.journal.version));
        static_cast<void>(qd::CopyText(report.identity, status.journal.pkg));
    }
}

}  // namespace

CameraStatus StartCameraStatus(const char* version, const QDBOOT_CFG_T& cfg,
                               const StatusConfig& config, long long nowMs) noexcept {
    CameraStatus status{};
    status.startMs = nowMs;
    static_cast<void>(qd::CopyText(status.version, version));
    static_cast<void>(qd::CopyText(status.device, cfg.szDeviceName));  // same size
    status.full = config.bFull;
    status.lastResult = qd::kStatusNoUpload;
    return status;
}

void RefreshJournal(CameraStatus* status, const BootenvConfig& boot) noexcept {
    status->recovery = boot.bRecovery;
    status->slot = '\0';
    if (!boot.bPresent || boot.szProblem[0] != '\0') {
        status->view = JournalView::kNone;
        return;
    }
    status->slot = RunningSlot(boot.szCmdline);
    const bool read = LoadJournal(boot.szConfig, &status->journal) == 0;
    status->view = read ? JournalView::kRead : JournalView::kUnreadable;
}

void RefreshCounter(CameraStatus* status, const SealConfig& seal) noexcept {
    std::uint64_t counter = 0;
    status->counterKnown = seal.szCounterFile[0] != '\0' &&
                           ReadSealCounter(seal.szCounterFile, &counter) == CounterRead::kOk;
    status->counter = status->counterKnown ? counter : 0;
}

void RecordUpload(CameraStatus* status, const UploadResult& result) noexcept {
    if (result.reason == qd::kStatusNoUpload) {
        return;
    }
    status->lastResult = result.reason;
    static_cast<void>(qd::CopyText(status->lastText, result.text));          // same size
    static_cast<void>(qd::CopyText(status->lastIdentity, result.identity));  // same size
}

const char* JournalStateText(const CameraStatus& status) noexcept {
    switch (status.view) {
        case JournalView::kNone:
            return "no journal";
        case JournalView::kUnreadable:
            return "unreadable";
        case JournalView::kRead:
            break;
    }
    return StateOf(status.journal) == JournalState::kNone ? "none" : status.journal.state;
}

qd::StatusReport BuildStatusReport(const CameraStatus& status, long long nowMs) noexcept {
    qd::StatusReport report;
    report.full = status.full;
    report.recovery = status.recovery;
    report.uptime = UptimeSeconds(status.startMs, nowMs);
    static_cast<void>(qd::CopyText(report.version, status.version));
    static_cast<void>(qd::CopyText(report.device, status.device));
    static_cast<void>(qd::CopyText(report.state, JournalStateText(status)));
    const char slot[2] = {status.slot, '\0'};
    static_cast<void>(qd::CopyText(report.slot, slot));
    if (status.full) {
        AddFullFields(status, report);
    }
    return report;
}
