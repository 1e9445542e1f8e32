// The boot journal: a few variables in the boot loader's environment that
// record each upgrade of the kernel and root file system, so the boot
// script, the daemon after a reboot and an operator all know where it
// stands. The transitions are pure functions on a record; loading and
// storing it is separate, one store per change.
#ifndef BOOT_JOURNAL_H
#define BOOT_JOURNAL_H

#include <cstddef>
#include <cstdint>

class UbootEnv;

enum class JournalState : std::uint8_t {
    kNone,  // never upgraded (qd_state unset)
    kWriting,
    kTrial,
    kFailed,
    kGood,
    kBad,
    kRolledBack,
    kUnknown,  // a value this daemon does not write
};

constexpr std::size_t kJournalNumberSize = 24;  // a 64-bit counter in decimal
constexpr std::size_t kJournalTextSize = 128;   // a package head's text field

// The variables as texts, and which of them are set, so that a record
// read and stored again leaves the environment as it was.
struct JournalRecord {
    char state[16];
    char slot[2];
    char target[2];
    char tries[2];
    char pkg[17];
    char name[kJournalTextSize];
    char version[kJournalTextSize];
    char pending[kJournalNumberSize];
    char counter[kJournalNumberSize];
    std::uint32_t set;  // bit i: the i-th variable is set
};

JournalState StateOf(const JournalRecord& record) noexcept;
const char* StateName(JournalState state) noexcept;

// The slot holding the proven firmware: qd_slot, 'a' when unset.
char ProvenSlot(const JournalRecord& record) noexcept;
// qd_target's slot, or 0 when it is unset or not a slot.
char TargetSlot(const JournalRecord& record) noexcept;
// qd_pending as a number; false when empty or not a number.
bool PendingCounter(const JournalRecord& record, std::uint64_t* counter) noexcept;
// qd_counter as a number: 0 when empty or unset; false when it is set to
// anything but a number.
bool CommittedCounter(const JournalRecord& record, std::uint64_t* counter) noexcept;

// What an upgrade records before its first install effect.
struct WritingEntry {
    char target;  // 'a' or 'b'
    const char* pkg;
    const char* name;
    const char* version;
    std::uint64_t counter;
};

// The transitions. Each returns the record to store.
JournalRecord BeginWriting(const JournalRecord& from, const WritingEntry& entry) noexcept;
JournalRecord EnterTrial(const JournalRecord& from) noexcept;
JournalRecord MarkFailed(const JournalRecord& from) noexcept;
// The target becomes the proven slot and the pending counter the committed one.
JournalRecord MarkGood(const JournalRecord& from) noexcept;
JournalRecord MarkBad(const JournalRecord& from) noexcept;
JournalRecord MarkRolledBack(const JournalRecord& from) noexcept;

// What start-up does with the journal it finds, running `running` ('a',
// 'b', or 0 when the command line names no slot).
enum class StartupAction : std::uint8_t {
    kNone,        // nothing to record
    kProve,       // the trial slot is running: health, then good or bad
    kRollBack,    // a trial the boot loader gave up on: rolledback
    kFail,        // an upgrade cut short on the old slot: failed
    kUnknownSlot  // the journal needs the running slot, which is unknown
};
StartupAction DecideAtStartup(const JournalRecord& record, char running) noexcept;
// The same in the recovery system, which never proves a boot: an upgrade
// it finds writing or on trial did not prove itself and is failed.
StartupAction DecideInRecovery(const JournalRecord& record) noexcept;

// Reads every journal variable. 0 or UbootEnv's negative errno.
int LoadJournal(const char* configPath, JournalRecord* record) noexcept;

// Writes every journal variable as one store, then syncs. 0 or a negative
// errno.
int StoreJournal(const char* configPath, const JournalRecord& record) noexcept;

// The running slot from a kernel command line file: the word "qd.slot=a"
// or "qd.slot=b"; 0 when there is none or the file cannot be read.
char RunningSlot(const char* cmdlinePath) noexcept;

#endif  // BOOT_JOURNAL_H
