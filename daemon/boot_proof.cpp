// Start-up's part of the boot journal, polled by the service loop so that
// the camera serves searches and uploads while its health is judged.
#include "boot_proof.h"

#include <cstdint>

#include "monotonic.h"
#include "qd_log.h"
#include "seal_counter.h"
#include "shell_command.h"
#include "uboot_env.h"

namespace {

constexpr long long kMsPerSecond = 1000;
constexpr std::size_t kHowSize = 64;

// The pending counter becomes the stored one, never lowering it. False
// after an error line when it could not be stored.
bool CommitCounter(const SealConfig& seal, const JournalRecord& record) noexcept {
    std::uint64_t pending = 0;
    if (seal.szCounterFile[0] == '\0' || !PendingCounter(record, &pending)) {
        return true;
    }
    std::uint64_t stored = 0;
    if (ReadSealCounter(seal.szCounterFile, &stored) == CounterRead::kOk && pending <= stored) {
        return true;
    }
    return StoreSealCounter(seal.szCounterFile, pending);
}

void Reboot() noexcept {
    static_cast<void>(qd::RunCommand("sync"));
    static_cast<void>(qd::RunCommand("reboot"));
}

}  // namespace

BootProof::BootProof(const BootenvConfig& boot, const SealConfig& seal) noexcept
    : boot_(boot), seal_(seal) {}

BootProof::~BootProof() {
    if (health_ > 0) {
        qd::StopCommand(health_);
    }
}

bool BootProof::Store(const JournalRecord& record) noexcept {
    const int result = StoreJournal(boot_.szConfig, record);
    if (result != 0) {
        QD_LOG_ERR("boot journal: %s could not be stored in the environment %s: %s\n", record.state,
                   boot_.szConfig, UbootEnvProblem(result));
        return false;
    }
    QD_LOG_TRACE("boot journal: %s (slot %c, package %s %s)\n", record.state, ProvenSlot(record),
                 record.name, record.version);
    return true;
}

void BootProof::Start() noexcept {
    if (!boot_.bPresent || boot_.szProblem[0] != '\0') {
        return;
    }
    const int loaded = LoadJournal(boot_.szConfig, &record_);
    if (loaded != 0) {
        QD_LOG_ERR("boot journal: environment %s: %s\n", boot_.szConfig, UbootEnvProblem(loaded));
        return;
    }
    const StartupAction action = boot_.bRecovery
                                     ? DecideInRecovery(record_)
                                     : DecideAtStartup(record_, RunningSlot(boot_.szCmdline));
    switch (action) {
        case StartupAction::kNone:
            return;
        case StartupAction::kUnknownSlot:
            QD_LOG_ERR("boot journal: %s, but %s names no running slot (qd.slot=)\n", record_.state,
                       boot_.szCmdline);
            return;
        case StartupAction::kRollBack:
            static_cast<void>(Store(MarkRolledBack(record_)));
            return;
        case StartupAction::kFail:
            static_cast<void>(Store(MarkFailed(record_)));
            return;
        case StartupAction::kProve:
            break;
    }
    proving_ = true;
    if (boot_.szHealth[0] == '\0') {
        return;  // nothing to prove beyond serving: the next turn commits
    }
    const qd::CommandStatus started = qd::StartCommand(boot_.szHealth, &health_);
    if (started.kind == qd::CommandStatus::Kind::kNotRun) {
        health_ = -1;
        char how[kHowSize];
        qd::DescribeStatus(started, how, sizeof how);
        Judge(false, how);
        return;
    }
    deadlineMs_ = MonotonicMs() + boot_.nHealthTimeoutS * kMsPerSecond;
}

void BootProof::Tend() noexcept {
    if (!proving_) {
        return;
    }
    if (health_ <= 0) {
        Judge(true, "");
        return;
    }
    qd::CommandStatus status{};
    if (qd::PollCommand(health_, &status)) {
        health_ = -1;
        char how[kHowSize];
        qd::DescribeStatus(status, how, sizeof how);
        Judge(status.Succeeded(), how);
    } else if (MonotonicMs() >= deadlineMs_) {
        qd::StopCommand(health_);
        health_ = -1;
        Judge(false, "no answer in time");
    }
}

void BootProof::Judge(bool healthy, const char* how) noexcept {
    proving_ = false;
    if (healthy) {
        Commit();
        return;
    }
    QD_LOG_ERR("boot journal: the health command failed (%s): slot %c is bad, rebooting\n", how,
               TargetSlot(record_));
    // Rebooting even when bad could not be stored: the boot loader then
    // counts one more try and falls back once they are spent.
    static_cast<void>(Store(MarkBad(record_)));
    Reboot();
}

// The counter first: a cut between the two leaves the trial to be proved
// again, with a counter that only refuses what the new firmware does.
void BootProof::Commit() noexcept {
    if (!CommitCounter(seal_, record_)) {
        QD_LOG_ERR("boot journal: the counter of slot %c could not be stored\n",
                   TargetSlot(record_));
    }
    static_cast<void>(Store(MarkGood(record_)));
}
