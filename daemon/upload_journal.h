// The boot journal's part in an upload: the refusals that keep a camera
// bootable, the *writing* store at the gate, and *trial*, *failed* or the
// previous state once the items are installed.
#ifndef UPLOAD_JOURNAL_H
#define UPLOAD_JOURNAL_H

#include <cstdint>

#include "boot_journal.h"
#include "libqdupdate.h"
#include "package_seal.h"
#include "pkg_reader.h"
#include "qd_status.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

// What a package writes to flash.
struct PackageImages {
    bool kernel;
    bool rootfs;
    bool uboot;
};
PackageImages ImagesOf(const qdpkg::PackageIndex& index) noexcept;

// Everything an upload with [bootenv] is judged by, once the environment
// has been read.
struct JournalFacts {
    PackageImages images;
    SlotLayout layout;
    bool recovery;  // the recovery system is running
    bool allowUboot;
    JournalState state;
    char running;  // 0: unknown
    char proven;
    std::uint64_t counter;  // the package's seal counter
    bool hasPending;
    std::uint64_t pending;
};

enum class JournalRefusal : std::uint8_t {
    kNone,
    kUboot,          // boot loader image not allowed
    kTrialImages,    // images while the running firmware awaits proof
    kBelowPending,   // counter below the upgrade on trial
    kMixedSlots,     // images with szMtdNameB in only one of [kernel] and [rootfs]
    kRecoveryAB,     // images in recovery on a camera with two slots
    kHalfPair,       // kernel without root file system or the other way round
    kSlotUnknown,    // the command line names no slot
    kNotProvenSlot,  // running a slot the boot loader would not fall back to
};

JournalRefusal JudgeUpload(const JournalFacts& facts) noexcept;
// The refusal's reason, for "package refused, nothing installed: ".
const char* JournalRefusalText(JournalRefusal refusal) noexcept;
// The same, short, for the status query.
const char* JournalRefusalBrief(JournalRefusal refusal) noexcept;

// The counter rules of an upload: in the recovery system, a missing
// counter file refuses it and the journal's qd_counter is a floor. False,
// after an error line, when the journal cannot be read for it.
bool CounterRulesFor(const BootenvConfig& boot, CounterRules* rules) noexcept;

// One upload's journal. Without [bootenv] it does nothing and lets the
// counter be stored at the gate as always.
class UploadJournal {
  public:
    UploadJournal(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept;

    // The settings the items are installed with: the target slot's devices
    // (slot a, written in place, with one slot).
    const QDBOOT_CFG_T& InstallConfig() const noexcept { return slotCfg_; }

    // At the gate. 0 lets the install go on, -1 refuses it after an error
    // line with nothing stored. *counterNow: whether the seal's counter is
    // stored now (false when it waits for the proof of boot).
    int BeforeInstall(const qdpkg::PackageIndex& index, const QDUPK_SEALINFO_T& seal,
                      const char* identity, bool* counterNow) noexcept;

    // After the items: *trial* when all were installed; otherwise *failed*
    // when a partition was touched, else the state from before. False when
    // the install succeeded but *trial* could not be stored: it must not
    // be acknowledged.
    bool AfterInstall(bool installed, int partitionsTouched) noexcept;

    // Why BeforeInstall refused, for the status query.
    qd::StatusReason RefusalReason() const noexcept { return reason_; }
    const char* RefusalBrief() const noexcept { return brief_; }

  private:
    int Judge(const PackageImages& images, const QDUPK_SEALINFO_T& seal) noexcept;
    int Refuse(const char* reason) const noexcept;
    int Note(qd::StatusReason reason, const char* brief) noexcept;
    int Store(const JournalRecord& record, const char* what) const noexcept;

    const BootenvConfig& boot_;
    const QDBOOT_CFG_T& cfg_;
    char running_;
    char target_;  // 0: unknown (two slots, the running one unknown)
    QDBOOT_CFG_T slotCfg_;
    JournalRecord before_{};
    JournalRecord writing_{};
    bool stored_ = false;
    qd::StatusReason reason_ = qd::kStatusNoUpload;
    const char* brief_ = "";
};

#endif  // UPLOAD_JOURNAL_H
