// An upload's journal: judged at the gate from the package's items and the
// environment as it stands, stored once before and once after the items.
#include "upload_journal.h"

#include "qd_log.h"
#include "uboot_env.h"

namespace {

struct RefusalText {
    JournalRefusal refusal;
    const char* text;
    const char* brief;  // for the status query's 128-byte field
};

constexpr RefusalText kRefusalTexts[] = {
    {JournalRefusal::kUboot,
     "it writes the boot loader, which a power cut during the write leaves unable to start "
     "the camera (allow_uboot=1 in [bootenv] accepts that)",
     "it writes the boot loader (allow_uboot=0)"},
    {JournalRefusal::kTrialImages,
     "the running firmware is on trial and has not proved that it boots",
     "the running firmware is on trial"},
    {JournalRefusal::kBelowPending,
     "rollback: its counter is lower than that of the firmware on trial",
     "rollback: counter lower than the firmware on trial"},
    {JournalRefusal::kMixedSlots,
     "[kernel] and [rootfs] need szMtdNameB in both (two slots, each written whole) or in "
     "neither (one slot and a recovery system)",
     "szMtdNameB in only one of [kernel] and [rootfs]"},
    {JournalRefusal::kRecoveryAB,
     "the recovery system writes images only on a camera with one slot (no szMtdNameB)",
     "images in recovery on a camera with two slots"},
    {JournalRefusal::kHalfPair,
     "it carries only one of the kernel and the root file system; a slot needs both",
     "only one of the kernel and the root file system"},
    {JournalRefusal::kSlotUnknown, "the kernel command line names no running slot (qd.slot=)",
     "the running slot is unknown"},
    {JournalRefusal::kNotProvenSlot,
     "the running slot is not the one the boot loader falls back to",
     "the running slot is not the proven one"},
};

char OtherSlot(char slot) noexcept {
    return slot == 'a' ? 'b' : 'a';
}

// One slot is written in place; of two, the one not running.
char TargetSlotFor(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg, char running) noexcept {
    if (LayoutOf(boot, cfg) == SlotLayout::kOneSlot) {
        return 'a';
    }
    return running != '\0' ? OtherSlot(running) : '\0';
}

// The recovery system runs no slot and proves nothing: it writes slot a
// whatever the journal says.
JournalRefusal JudgeInRecovery(const JournalFacts& facts, bool slotImages) noexcept {
    if (!slotImages || facts.layout == SlotLayout::kOneSlot) {
        return JournalRefusal::kNone;
    }
    return facts.layout == SlotLayout::kMixed ? JournalRefusal::kMixedSlots
                                              : JournalRefusal::kRecoveryAB;
}

// Images in the normal system: A/B writes a whole slot; either way the
// running firmware must be the proven one.
JournalRefusal JudgeSlots(const JournalFacts& facts) noexcept {
    if (facts.layout == SlotLayout::kMixed) {
        return JournalRefusal::kMixedSlots;
    }
    const bool whole = facts.images.kernel && facts.images.rootfs;
    if (facts.layout == SlotLayout::kTwoSlots && !whole) {
        return JournalRefusal::kHalfPair;
    }
    if (facts.running == '\0') {
        return JournalRefusal::kSlotUnknown;
    }
    return facts.running == facts.proven ? JournalRefusal::kNone : JournalRefusal::kNotProvenSlot;
}

}  // namespace

PackageImages ImagesOf(const qdpkg::PackageIndex& index) noexcept {
    PackageImages images{};
    const auto count = static_cast<std::size_t>(index.itemCount > 0 ? index.itemCount : 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t type = index.items[i].head.nItemType;
        images.kernel = images.kernel || type == QDUPK_ITEM_KERNEL;
        images.rootfs = images.rootfs || type == QDUPK_ITEM_ROOTFS;
        images.uboot = images.uboot || type == QDUPK_ITEM_UBOOT;
    }
    return images;
}

JournalRefusal JudgeUpload(const JournalFacts& facts) noexcept {
    const bool slotImages = facts.images.kernel || facts.images.rootfs;
    if (facts.images.uboot && !facts.allowUboot) {
        return JournalRefusal::kUboot;
    }
    if (facts.recovery) {
        return JudgeInRecovery(facts, slotImages);
    }
    if (facts.state == JournalState::kTrial) {
        if (slotImages) {
            return JournalRefusal::kTrialImages;
        }
        if (facts.hasPending && facts.counter < facts.pending) {
            return JournalRefusal::kBelowPending;
        }
    }
    return slotImages ? JudgeSlots(facts) : JournalRefusal::kNone;
}

const char* JournalRefusalText(JournalRefusal refusal) noexcept {
    for (const RefusalText& entry : kRefusalTexts) {
        if (entry.refusal == refusal) {
            return entry.text;
        }
    }
    return "";
}

const char* JournalRefusalBrief(JournalRefusal refusal) noexcept {
    for (const RefusalText& entry : kRefusalTexts) {
        if (entry.refusal == refusal) {
            return entry.brief;
        }
    }
    return "";
}

bool CounterRulesFor(const BootenvConfig& boot, CounterRules* rules) noexcept {
    *rules = CounterRules{boot.bRecovery, 0};
    if (!boot.bRecovery || !boot.bPresent || boot.szProblem[0] != '\0') {
        return true;
    }
    JournalRecord record{};
    const int loaded = LoadJournal(boot.szConfig, &record);
    if (loaded != 0) {
        QD_LOG_ERR(
            "package refused, nothing installed: environment %s: %s (its qd_counter is "
            "needed in recovery)\n",
            boot.szConfig, UbootEnvProblem(loaded));
        return false;
    }
    if (!CommittedCounter(record, &rules->committed)) {
        QD_LOG_ERR("package refused, nothing installed: qd_counter \"%s\" in %s is not a number\n",
                   record.counter, boot.szConfig);
        return false;
    }
    return true;
}

UploadJournal::UploadJournal(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept
    : boot_(boot),
      cfg_(cfg),
      running_(boot.bPresent ? RunningSlot(boot.szCmdline) : '\0'),
      target_(TargetSlotFor(boot, cfg, running_)),
      slotCfg_(target_ != '\0' ? ConfigForSlot(cfg, boot, target_) : cfg) {}

int UploadJournal::Refuse(const char* reason) const noexcept {
    QD_LOG_ERR("package refused, nothing installed: %s\n", reason);
    return -1;
}

int UploadJournal::Note(qd::StatusReason reason, const char* brief) noexcept {
    reason_ = reason;
    brief_ = brief;
    return -1;
}

int UploadJournal::Store(const JournalRecord& record, const char* what) const noexcept {
    const int result = StoreJournal(boot_.szConfig, record);
    if (result != 0) {
        QD_LOG_ERR("boot journal: %s could not be stored in the environment %s: %s\n", what,
                   boot_.szConfig, UbootEnvProblem(result));
    }
    return result;
}

// The journal as it stands, and the package judged against it.
int UploadJournal::Judge(const PackageImages& images, const QDUPK_SEALINFO_T& seal) noexcept {
    const int loaded = LoadJournal(boot_.szConfig, &before_);
    if (loaded != 0) {
        QD_LOG_ERR("package refused, nothing installed: environment %s: %s\n", boot_.szConfig,
                   UbootEnvProblem(loaded));
        return Note(qd::kStatusJournalFailed, "the boot environment cannot be read");
    }
    JournalFacts facts{};
    facts.images = images;
    facts.layout = LayoutOf(boot_, cfg_);
    facts.recovery = boot_.bRecovery;
    facts.allowUboot = boot_.bAllowUboot;
    facts.state = StateOf(before_);
    facts.running = running_;
    facts.proven = ProvenSlot(before_);
    facts.counter = seal.nCounter;
    facts.hasPending = PendingCounter(before_, &facts.pending);
    const JournalRefusal refusal = JudgeUpload(facts);
    if (refusal == JournalRefusal::kNone) {
        return 0;
    }
    static_cast<void>(Refuse(JournalRefusalText(refusal)));
    return Note(qd::kStatusBootRules, JournalRefusalBrief(refusal));
}

int UploadJournal::BeforeInstall(const qdpkg::PackageIndex& index, const QDUPK_SEALINFO_T& seal,
                                 const char* identity, bool* counterNow) noexcept {
    *counterNow = true;
    if (!boot_.bPresent) {
        return 0;
    }
    const PackageImages images = ImagesOf(index);
    const bool flash = images.kernel || images.rootfs || images.uboot;
    if (boot_.szProblem[0] != '\0') {
        // Nothing to keep a journal in: only a package that leaves the
        // flash alone is safe to install.
        if (!flash) {
            return 0;
        }
        QD_LOG_ERR("package refused, nothing installed: [bootenv]: %s\n", boot_.szProblem);
        return Note(qd::kStatusBootRules, "[bootenv] is misconfigured");
    }
    if (Judge(images, seal) != 0) {
        return -1;
    }
    if (!images.kernel && !images.rootfs) {
        return 0;
    }
    writing_ = BeginWriting(before_, WritingEntry{target_, identity, index.head.szPktName,
                                                  index.head.szPktVersion, seal.nCounter});
    if (Store(writing_, "writing") != 0) {
        static_cast<void>(Refuse("the boot journal cannot be written"));
        return Note(qd::kStatusJournalFailed, "the boot journal cannot be written");
    }
    stored_ = true;
    *counterNow = false;
    QD_LOG_TRACE("boot journal: writing slot %c (package %s)\n", target_, identity);
    return 0;
}

bool UploadJournal::AfterInstall(bool installed, int partitionsTouched) noexcept {
    if (!stored_) {
        return true;
    }
    if (installed) {
        if (Store(EnterTrial(writing_), "trial") != 0) {
            QD_LOG_ERR("installed, but not acknowledged: the boot loader would not try it\n");
            return false;
        }
        QD_LOG_TRACE("boot journal: trial of slot %c\n", target_);
        return true;
    }
    // An untouched slot is as it was: so is the journal.
    static_cast<void>(partitionsTouched > 0 ? Store(MarkFailed(writing_), "failed")
                                            : Store(before_, "the previous state"));
    return false;
}
