// The journal's transitions, and its variables in the environment.
#include "boot_journal.h"

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qd_owners.h"
#include "qd_text.h"
#include "uboot_env.h"

namespace {

struct Variable {
    const char* name;
    std::size_t offset;
    std::size_t size;
};

#define QD_JOURNAL_VAR(name, field) \
    { name, offsetof(JournalRecord, field), sizeof(JournalRecord::field) }
constexpr Variable kVariables[] = {
    QD_JOURNAL_VAR("qd_state", state),     QD_JOURNAL_VAR("qd_slot", slot),
    QD_JOURNAL_VAR("qd_target", target),   QD_JOURNAL_VAR("qd_tries", tries),
    QD_JOURNAL_VAR("qd_pkg", pkg),         QD_JOURNAL_VAR("qd_name", name),
    QD_JOURNAL_VAR("qd_version", version), QD_JOURNAL_VAR("qd_pending", pending),
    QD_JOURNAL_VAR("qd_counter", counter),
};
#undef QD_JOURNAL_VAR

enum Index : unsigned { kState, kSlot, kTarget, kTries, kPkg, kName, kVersion, kPending, kCounter };

constexpr const char* kStateNames[] = {"",     "writing", "trial",      "failed",
                                       "good", "bad",     "rolledback", "?"};

char* Text(JournalRecord& record, Index index) noexcept {
    return reinterpret_cast<char*>(&record) + kVariables[index].offset;
}

const char* Text(const JournalRecord& record, Index index) noexcept {
    return reinterpret_cast<const char*>(&record) + kVariables[index].offset;
}

// Values come from the daemon or from the package's head, whose texts
// are at most the field's size; a longer one is cut, never overrun.
void Put(JournalRecord& record, Index index, const char* value) noexcept {
    static_cast<void>(qd::CopyText(Text(record, index), kVariables[index].size, value));
    record.set |= 1U << index;
}

void PutState(JournalRecord& record, JournalState state) noexcept {
    Put(record, kState, kStateNames[static_cast<unsigned>(state)]);
}

char SlotOf(const char* text) noexcept {
    return (text[0] == 'a' || text[0] == 'b') && text[1] == '\0' ? text[0] : '\0';
}

// A finished upgrade has no pending counter.
JournalRecord Finished(const JournalRecord& from, JournalState state) noexcept {
    JournalRecord to = from;
    PutState(to, state);
    Put(to, kPending, "");
    return to;
}

bool IsWord(const char* at, const char* start, const char* word) noexcept {
    const std::size_t length = std::strlen(word);
    const bool before = at == start || at[-1] == ' ' || at[-1] == '\t';
    const char after = at[length];
    return before && (after == '\0' || after == ' ' || after == '\t' || after == '\n');
}

bool ParseCounter(const char* text, std::uint64_t* counter) noexcept {
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *counter = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

JournalState StateOf(const JournalRecord& record) noexcept {
    if ((record.set & (1U << kState)) == 0 || record.state[0] == '\0') {
        return JournalState::kNone;
    }
    for (unsigned i = 1; i < static_cast<unsigned>(JournalState::kUnknown); ++i) {
        if (std::strcmp(record.state, kStateNames[i]) == 0) {
            return static_cast<JournalState>(i);
        }
    }
    return JournalState::kUnknown;
}

const char* StateName(JournalState state) noexcept {
    return state == JournalState::kNone ? "unset" : kStateNames[static_cast<unsigned>(state)];
}

char ProvenSlot(const JournalRecord& record) noexcept {
    const char slot = SlotOf(record.slot);
    return slot != '\0' ? slot : 'a';
}

char TargetSlot(const JournalRecord& record) noexcept {
    return SlotOf(record.target);
}

bool PendingCounter(const JournalRecord& record, std::uint64_t* counter) noexcept {
    return ParseCounter(record.pending, counter);
}

bool CommittedCounter(const JournalRecord& record, std::uint64_t* counter) noexcept {
    *counter = 0;
    return record.counter[0] == '\0' || ParseCounter(record.counter, counter);
}

JournalRecord BeginWriting(const JournalRecord& from, const WritingEntry& entry) noexcept {
    JournalRecord to = from;
    PutState(to, JournalState::kWriting);
    const char target[2] = {entry.target, '\0'};
    Put(to, kTarget, target);
    Put(to, kTries, "0");
    Put(to, kPkg, entry.pkg);
    Put(to, kName, entry.name);
    Put(to, kVersion, entry.version);
    static_cast<void>(std::snprintf(to.pending, sizeof to.pending, "%" PRIu64, entry.counter));
    to.set |= 1U << kPending;
    return to;
}

JournalRecord EnterTrial(const JournalRecord& from) noexcept {
    JournalRecord to = from;
    PutState(to, JournalState::kTrial);
    Put(to, kTries, "0");
    return to;
}

JournalRecord MarkFailed(const JournalRecord& from) noexcept {
    return Finished(from, JournalState::kFailed);
}

JournalRecord MarkGood(const JournalRecord& from) noexcept {
    JournalRecord to = Finished(from, JournalState::kGood);
    const char target[2] = {TargetSlot(from), '\0'};
    if (target[0] != '\0') {
        Put(to, kSlot, target);
    }
    std::uint64_t pending = 0;
    if (PendingCounter(from, &pending)) {
        Put(to, kCounter, from.pending);
    }
    return to;
}

JournalRecord MarkBad(const JournalRecord& from) noexcept {
    return Finished(from, JournalState::kBad);
}

JournalRecord MarkRolledBack(const JournalRecord& from) noexcept {
    return Finished(from, JournalState::kRolledBack);
}

StartupAction DecideAtStartup(const JournalRecord& record, char running) noexcept {
    const JournalState state = StateOf(record);
    if (state != JournalState::kTrial && state != JournalState::kWriting) {
        return StartupAction::kNone;
    }
    if (running == '\0') {
        return StartupAction::kUnknownSlot;
    }
    if (state == JournalState::kTrial) {
        return running == TargetSlot(record) ? StartupAction::kProve : StartupAction::kRollBack;
    }
    // Writing on any other slot cannot come from the boot script; leave
    // that to whoever booted it.
    return running == ProvenSlot(record) ? StartupAction::kFail : StartupAction::kNone;
}

StartupAction DecideInRecovery(const JournalRecord& record) noexcept {
    const JournalState state = StateOf(record);
    return state == JournalState::kTrial || state == JournalState::kWriting ? StartupAction::kFail
                                                                            : StartupAction::kNone;
}

int LoadJournal(const char* configPath, JournalRecord* record) noexcept {
    std::memset(record, 0, sizeof *record);
    UbootEnv env;
    const int result = env.Open(configPath);
    if (result != 0) {
        return result;
    }
    for (unsigned i = 0; i < sizeof kVariables / sizeof kVariables[0]; ++i) {
        const auto index = static_cast<Index>(i);
        // A value too long for its field is kept cut; only the daemon's own
        // values are ever read back for decisions.
        char* text = Text(*record, index);
        if (env.Get(kVariables[i].name, text, kVariables[i].size) || text[0] != '\0') {
            record->set |= 1U << i;
        }
    }
    return 0;
}

int StoreJournal(const char* configPath, const JournalRecord& record) noexcept {
    UbootEnv env;
    int result = env.Open(configPath);
    for (unsigned i = 0; result == 0 && i < sizeof kVariables / sizeof kVariables[0]; ++i) {
        const bool set = (record.set & (1U << i)) != 0;
        result = env.Set(kVariables[i].name, set ? Text(record, static_cast<Index>(i)) : nullptr);
    }
    return result == 0 ? env.Store() : result;
}

char RunningSlot(const char* cmdlinePath) noexcept {
    qd::FilePtr file(std::fopen(cmdlinePath, "re"));
    char line[4096];
    if (!file || std::fgets(line, sizeof line, file.get()) == nullptr) {
        return '\0';
    }
    static constexpr char kWord[] = "qd.slot=";
    char found = '\0';
    for (const char* at = std::strstr(line, kWord); at != nullptr;
         at = std::strstr(at + 1, kWord)) {
        const char slot = at[sizeof kWord - 1];
        const char word[] = {'q', 'd', '.', 's', 'l', 'o', 't', '=', slot, '\0'};
        if ((slot == 'a' || slot == 'b') && IsWord(at, line, word)) {
            found = slot;  // the last one counts, as for the kernel's own parameters
        }
    }
    return found;
}
