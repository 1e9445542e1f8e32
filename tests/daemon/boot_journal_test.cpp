// The boot journal's states and transitions, stored in a redundant
// environment of two plain files and read back with fw_printenv, the way
// the boot script's side sees them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "boot_env_fixture.h"
#include "boot_journal.h"
#include "test_support.h"
#include "uboot_env.h"

namespace {

class BootJournal : public ::testing::Test {
  protected:
    JournalRecord Load() const {
        JournalRecord record{};
        EXPECT_EQ(LoadJournal(env_.config().c_str(), &record), 0);
        return record;
    }

    void Store(const JournalRecord& record) const {
        ASSERT_EQ(StoreJournal(env_.config().c_str(), record), 0);
    }

    // Overwrites bytes inside a copy, as a write cut short leaves it; the
    // file keeps its size.
    static void Tear(const std::string& copy) {
        std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(200);
        const std::string junk(64, '\x5a');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }

    qdtest::ScratchDir dir_;
    qdtest::FileBackedEnv env_{dir_.path(), "qd_bootargs=console=ttyS0\nqd_tries_max=3\n"};
};

const WritingEntry kEntry = {'b', "0123456789abcdef", "cam-fw", "2.1", 7};

TEST_F(BootJournal, AnUpgradeIsRecordedStoreByStoreAndCommittedByGood) {
    const JournalRecord fresh = Load();
    EXPECT_EQ(StateOf(fresh), JournalState::kNone);
    EXPECT_EQ(ProvenSlot(fresh), 'a');

    Store(BeginWriting(fresh, kEntry));
    auto vars = env_.Vars();
    EXPECT_EQ(vars["qd_state"], "writing");
    EXPECT_EQ(vars["qd_target"], "b");
    EXPECT_EQ(vars["qd_tries"], "0");
    EXPECT_EQ(vars["qd_pkg"], "0123456789abcdef");
    EXPECT_EQ(vars["qd_name"], "cam-fw");
    EXPECT_EQ(vars["qd_version"], "2.1");
    EXPECT_EQ(vars["qd_pending"], "7");
    EXPECT_EQ(vars.count("qd_slot"), 0U);             // the proven slot is still a
    EXPECT_EQ(vars["qd_bootargs"], "console=ttyS0");  // the board's own stay

    Store(EnterTrial(Load()));
    EXPECT_EQ(env_.Var("qd_state"), "trial");
    env_.Set("qd_tries=1\n");  // the boot script's try

    const JournalRecord trial = Load();
    EXPECT_EQ(DecideAtStartup(trial, 'b'), StartupAction::kProve);
    Store(MarkGood(trial));
    vars = env_.Vars();
    EXPECT_EQ(vars["qd_state"], "good");
    EXPECT_EQ(vars["qd_slot"], "b");
    EXPECT_EQ(vars["qd_counter"], "7");
    EXPECT_EQ(vars["qd_pending"], "");
    EXPECT_EQ(vars["qd_tries"], "1");
    EXPECT_EQ(vars["qd_tries_max"], "3");
}

// Failed, bad and rolled back end an upgrade without committing it: the
// proven slot and counter stay, the pending counter goes.
TEST_F(BootJournal, EndingAnUpgradeAnyOtherWayKeepsTheProvenSlotAndCounter) {
    env_.Set("qd_slot=b\nqd_counter=5\n");
    const JournalRecord trial =
        EnterTrial(BeginWriting(Load(), WritingEntry{'a', "00", "n", "v", 9}));
    const struct {
        JournalRecord record;
        const char* state;
    } ends[] = {{MarkFailed(trial), "failed"},
                {MarkBad(trial), "bad"},
                {MarkRolledBack(trial), "rolledback"}};
    for (const auto& end : ends) {
        Store(end.record);
        auto vars = env_.Vars();
        EXPECT_EQ(vars["qd_state"], end.state);
        EXPECT_EQ(vars["qd_slot"], "b") << end.state;
        EXPECT_EQ(vars["qd_counter"], "5") << end.state;
        EXPECT_EQ(vars["qd_pending"], "") << end.state;
        EXPECT_EQ(DecideAtStartup(Load(), 'b'), StartupAction::kNone) << end.state;
    }
}

// Storing the record read before an upgrade undoes its *writing*: what was
// unset is unset again.
TEST_F(BootJournal, TheStateFromBeforeIsStoredBackWhole) {
    const JournalRecord before = Load();
    Store(BeginWriting(before, kEntry));
    Store(before);
    const auto vars = env_.Vars();
    for (const char* name : {"qd_state", "qd_target", "qd_tries", "qd_pkg", "qd_pending"}) {
        EXPECT_EQ(vars.count(name), 0U) << name;
    }
    EXPECT_EQ(vars.at("qd_bootargs"), "console=ttyS0");
}

TEST(BootJournalDecision, StartUpActsOnTheStateAndTheRunningSlot) {
    const struct {
        const char* state;
        const char* target;
        const char* slot;
        char running;
        StartupAction action;
    } cases[] = {
        {"trial", "b", "a", 'b', StartupAction::kProve},
        {"trial", "b", "a", 'a', StartupAction::kRollBack},
        {"trial", "a", "b", 'a', StartupAction::kProve},
        {"trial", "b", "a", '\0', StartupAction::kUnknownSlot},
        {"writing", "b", "", 'a', StartupAction::kFail},  // unset slot: a
        {"writing", "a", "b", 'b', StartupAction::kFail},
        {"writing", "b", "a", 'b', StartupAction::kNone},
        {"failed", "b", "a", 'a', StartupAction::kNone},
        {"good", "b", "b", 'b', StartupAction::kNone},
        {"bad", "b", "a", 'a', StartupAction::kNone},
        {"rolledback", "b", "a", 'a', StartupAction::kNone},
        {"", "", "", 'a', StartupAction::kNone},
        {"mended", "b", "a", 'b', StartupAction::kNone},
    };
    for (const auto& c : cases) {
        JournalRecord record{};
        std::strcpy(record.state, c.state);
        std::strcpy(record.target, c.target);
        std::strcpy(record.slot, c.slot);
        record.set = ~0U;
        EXPECT_EQ(DecideAtStartup(record, c.running), c.action)
            << c.state << " target " << c.target << " running " << c.running;
    }
}

JournalRecord RecordOf(const char* state, const char* target, const char* slot) {
    JournalRecord record{};
    std::strcpy(record.state, state);
    std::strcpy(record.target, target);
    std::strcpy(record.slot, slot);
    record.set = ~0U;
    return record;
}

// One slot: the normal system always runs a, the slot it writes; the
// recovery system runs none, proves nothing, and fails what it finds
// unproved so that the boot script keeps choosing recovery.
TEST(BootJournalDecision, OneSlotProvesInTheNormalSystemAndFailsInRecovery) {
    const struct {
        const char* state;
        StartupAction normal;  // running a
        StartupAction recovery;
    } cases[] = {
        {"trial", StartupAction::kProve, StartupAction::kFail},
        {"writing", StartupAction::kFail, StartupAction::kFail},
        {"failed", StartupAction::kNone, StartupAction::kNone},
        {"bad", StartupAction::kNone, StartupAction::kNone},
        {"good", StartupAction::kNone, StartupAction::kNone},
        {"rolledback", StartupAction::kNone, StartupAction::kNone},
        {"", StartupAction::kNone, StartupAction::kNone},
        {"mended", StartupAction::kNone, StartupAction::kNone},
    };
    for (const auto& c : cases) {
        const JournalRecord record = RecordOf(c.state, "a", "a");
        EXPECT_EQ(DecideAtStartup(record, 'a'), c.normal) << c.state;
        EXPECT_EQ(DecideInRecovery(record), c.recovery) << c.state;
    }
}

// The committed counter is a floor in recovery: unset is none, anything
// but a number is not taken for one.
TEST(BootJournalCounter, QdCounterIsANumberOrNothing) {
    const struct {
        const char* text;
        bool ok;
        std::uint64_t value;
    } cases[] = {{"", true, 0},
                 {"0", true, 0},
                 {"17", true, 17},
                 {"x7", false, 0},
                 {"7x", false, 0},
                 {"-1", false, 0},
                 {"99999999999999999999", false, 0}};
    for (const auto& c : cases) {
        JournalRecord record{};
        std::strcpy(record.counter, c.text);
        std::uint64_t value = 1234;
        EXPECT_EQ(CommittedCounter(record, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(BootJournal, BothCopiesCorruptIsNoDataAndNothingIsStored) {
    Tear(env_.copy(0));
    Tear(env_.copy(1));
    JournalRecord record{};
    EXPECT_EQ(LoadJournal(env_.config().c_str(), &record), -ENODATA);
    EXPECT_EQ(StoreJournal(env_.config().c_str(), EnterTrial(record)), -ENODATA);
    EXPECT_NE(std::string(UbootEnvProblem(-ENODATA)).find("no valid copy"), std::string::npos);

    EXPECT_NE(LoadJournal((dir_.path() + "/missing.config").c_str(), &record), 0);
}

// A store writes the copy not in use and only then makes it the valid
// one: a store cut short in that copy leaves the one before.
TEST_F(BootJournal, AStoreTornInTheCopyBeingWrittenLeavesThePreviousState) {
    Store(BeginWriting(Load(), kEntry));
    const std::string first[] = {qdtest::ReadFile(env_.copy(0)), qdtest::ReadFile(env_.copy(1))};
    Store(EnterTrial(Load()));
    const int written = qdtest::ReadFile(env_.copy(0)) != first[0] ? 0 : 1;
    ASSERT_EQ(qdtest::ReadFile(env_.copy(1 - written)), first[1 - written]);
    Tear(env_.copy(written));

    EXPECT_EQ(StateOf(Load()), JournalState::kWriting);
    EXPECT_EQ(env_.Var("qd_state"), "writing");
}

TEST(BootJournalSlot, TheRunningSlotIsTheCommandLinesQdSlotWord) {
    const qdtest::ScratchDir dir;
    const std::string path = dir.file("cmdline");
    const struct {
        const char* line;
        char slot;
    } cases[] = {
        {"console=ttyS0 qd.slot=b root=/dev/mtdblock3\n", 'b'},
        {"qd.slot=a\n", 'a'},
        {"console=ttyS0 xqd.slot=b\n", '\0'},
        {"console=ttyS0 qd.slot=c\n", '\0'},
        {"qd.slot=bb\n", '\0'},
        {"console=ttyS0\n", '\0'},
    };
    for (const auto& c : cases) {
        qdtest::WriteFile(path, c.line);
        EXPECT_EQ(RunningSlot(path.c_str()), c.slot) << c.line;
    }
    EXPECT_EQ(RunningSlot(dir.file("none").c_str()), '\0');
}

}  // namespace
