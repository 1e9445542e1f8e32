// Start-up's decisions on the journal it finds, with the health command
// run as the service loop runs it (started, then polled) and stand-ins for
// sync and reboot first in PATH.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boot_env_fixture.h"
#include "boot_proof.h"
#include "camera_status.h"
#include "qd_text.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "stand_in_tools.h"
#include "startup.h"
#include "test_support.h"
#include "test_timing.h"

namespace {

class BootProofTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"reboot", "sync"}) {
            tools_.Add(tool, std::string("echo ") + tool + " >> '" + tools_.callsPath() + "'");
        }
        // The real reboot must never run.
        ASSERT_TRUE(tools_.First("reboot"));

        boot_ = env_.Settings(cmdline_);
        ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, counter_.c_str()));
        qdtest::WriteFile(counter_, "4\n");
        env_.Set("qd_state=trial\nqd_target=b\nqd_tries=1\nqd_pending=6\nqd_counter=4\n");
    }

    // Starts as the service loop does and tends it until it is done.
    std::string Prove(const char* running, const char* health) {
        qdtest::WriteFile(cmdline_, std::string("console=ttyS0 qd.slot=") + running + "\n");
        EXPECT_TRUE(qd::CopyText(boot_.szHealth, health));
        qdtest::StdoutCapture out;
        BootProof proof(boot_, seal_);
        proof.Start();
        EXPECT_TRUE(qdtest::PollUntil(qdtest::Millis(10000), [&] {
            proof.Tend();
            return !proof.Proving();
        }));
        return out.Finish();
    }

    std::string Calls() const { return tools_.Calls(); }

    qdtest::ScratchDir dir_;
    qdtest::FileBackedEnv env_{dir_.path(), "qd_bootargs=console=ttyS0\n"};
    qdtest::StandInTools tools_{dir_.path()};
    std::string cmdline_ = dir_.file("cmdline");
    std::string counter_ = dir_.file("seal.counter");
    BootenvConfig boot_{};
    SealConfig seal_{};
};

// Good commits the upgrade: the slot it wrote becomes the proven one, its
// counter the stored one, in the counter file too.
TEST_F(BootProofTest, ATrialSlotWhoseHealthCommandPassesIsCommitted) {
    Prove("b", "test -d /");
    auto vars = env_.Vars();
    EXPECT_EQ(vars["qd_state"], "good");
    EXPECT_EQ(vars["qd_slot"], "b");
    EXPECT_EQ(vars["qd_counter"], "6");
    EXPECT_EQ(vars["qd_pending"], "");
    EXPECT_EQ(qdtest::ReadFile(counter_), "6\n");
    EXPECT_EQ(Calls(), "");

    // Without a health command, serving is the proof.
    env_.Set("qd_state=trial\nqd_target=a\nqd_pending=7\n");
    Prove("a", "");
    EXPECT_EQ(env_.Var("qd_state"), "good");
    EXPECT_EQ(env_.Var("qd_slot"), "a");
    EXPECT_EQ(qdtest::ReadFile(counter_), "7\n");
}

TEST_F(BootProofTest, AFailingOrSilentHealthCommandRecordsBadAndReboots) {
    const std::string log = Prove("b", "exit 3");
    EXPECT_NE(log.find("health command failed (exit status 3)"), std::string::npos) << log;
    EXPECT_EQ(env_.Var("qd_state"), "bad");
    EXPECT_EQ(env_.Var("qd_slot"), "<unset>");
    EXPECT_EQ(env_.Var("qd_pending"), "");
    EXPECT_EQ(qdtest::ReadFile(counter_), "4\n");
    EXPECT_EQ(Calls(), "sync\nreboot\n");

    env_.Set("qd_state=trial\nqd_pending=6\n");
    boot_.nHealthTimeoutS = 1;
    EXPECT_NE(Prove("b", "sleep 60").find("no answer in time"), std::string::npos);
    EXPECT_EQ(env_.Var("qd_state"), "bad");
    EXPECT_EQ(Calls(), "sync\nreboot\nsync\nreboot\n");
}

// Running the old slot: the boot loader gave up on the trial, or the
// upgrade never reached it. Recorded without a health check or reboot.
TEST_F(BootProofTest, RunningTheOldSlotRecordsRolledBackOrFailed) {
    Prove("a", "exit 1");
    EXPECT_EQ(env_.Var("qd_state"), "rolledback");
    EXPECT_EQ(env_.Var("qd_pending"), "");
    EXPECT_EQ(env_.Var("qd_counter"), "4");

    env_.Set("qd_state=writing\nqd_pending=6\n");
    Prove("a", "exit 1");
    EXPECT_EQ(env_.Var("qd_state"), "failed");
    EXPECT_EQ(env_.Var("qd_pending"), "");
    EXPECT_EQ(qdtest::ReadFile(counter_), "4\n");
    EXPECT_EQ(Calls(), "");
}

// The status record reads what the environment and the counter file hold
// once it is refreshed, as the service loop does after a proof of boot.
TEST_F(BootProofTest, TheStatusRecordShowsTheJournalAndCounterAsTheProofLeftThem) {
    env_.Set("qd_pkg=0123456789abcdef\nqd_name=dome\nqd_version=2.0\n");
    qdtest::WriteFile(cmdline_, "console=ttyS0 qd.slot=b\n");
    CameraStatus status = StartCameraStatus("1.0", QDBOOT_CFG_T{}, StatusConfig{true, ""}, 0);
    RefreshJournal(&status, boot_);
    RefreshCounter(&status, seal_);
    EXPECT_STREQ(JournalStateText(status), "trial");
    EXPECT_EQ(status.slot, 'b');
    EXPECT_EQ(status.counter, 4U);

    Prove("b", "true");
    RefreshJournal(&status, boot_);
    RefreshCounter(&status, seal_);
    const qd::StatusReport report = BuildStatusReport(status, 0);
    EXPECT_STREQ(report.state, "good");
    EXPECT_STREQ(report.identity, "0123456789abcdef");
    EXPECT_STREQ(report.name, "dome");
    EXPECT_TRUE(report.counterKnown);
    EXPECT_EQ(report.counter, 6U);

    qdtest::WriteFile(counter_, "six\n");
    RefreshCounter(&status, seal_);
    EXPECT_FALSE(status.counterKnown);
    ASSERT_TRUE(qd::CopyText(boot_.szConfig, dir_.file("missing.config").c_str()));
    RefreshJournal(&status, boot_);
    EXPECT_STREQ(JournalStateText(status), "unreadable");
    boot_.bPresent = false;
    RefreshJournal(&status, boot_);
    EXPECT_STREQ(JournalStateText(status), "no journal");
    EXPECT_EQ(status.slot, '\0');
}

// The recovery system proves nothing: a trial it finds is failed at once,
// without the health command, the counter or a reboot; its status says
// recovery and the journal's state.
TEST_F(BootProofTest, TheRecoverySystemFailsATrialAndNeverCommitsIt) {
    boot_.bRecovery = true;
    env_.Set("qd_target=a\nqd_slot=a\n");
    const std::string health = "touch " + dir_.file("health-ran");
    Prove("recovery", health.c_str());
    EXPECT_FALSE(qdtest::FileExists(dir_.file("health-ran")));
    EXPECT_EQ(env_.Var("qd_state"), "failed");
    EXPECT_EQ(env_.Var("qd_pending"), "");
    EXPECT_EQ(env_.Var("qd_counter"), "4");
    EXPECT_EQ(qdtest::ReadFile(counter_), "4\n");
    EXPECT_EQ(Calls(), "");

    // Failed and bad stay as they are.
    for (const char* state : {"failed", "bad"}) {
        env_.Set(std::string("qd_state=") + state + "\n");
        Prove("recovery", "true");
        EXPECT_EQ(env_.Var("qd_state"), state);
    }
    CameraStatus status = StartCameraStatus("1.0", QDBOOT_CFG_T{}, StatusConfig{}, 0);
    RefreshJournal(&status, boot_);
    const qd::StatusReport report = BuildStatusReport(status, 0);
    EXPECT_TRUE(report.recovery);
    EXPECT_STREQ(report.state, "bad");
}

// The recovery system's log says what it is from its first lines, and that
// a lost counter file stops every upload.
TEST_F(BootProofTest, TheRecoveryStartUpLineSaysSoAndNamesALostCounterFile) {
    boot_.bRecovery = true;
    ASSERT_EQ(std::remove(counter_.c_str()), 0);
    qdtest::StdoutCapture out;
    PrintStartupLine(seal_, boot_, 8080);
    const std::string log = out.Finish();
    EXPECT_NE(log.find("counter file " + counter_ + " does not exist"), std::string::npos) << log;
    EXPECT_NE(log.find("qdboot starting in recovery: "), std::string::npos) << log;
    EXPECT_NE(log.find("running the recovery system, state trial"), std::string::npos) << log;

    boot_.bRecovery = false;
    qdtest::WriteFile(cmdline_, "qd.slot=b\n");
    qdtest::StdoutCapture normal;
    PrintStartupLine(seal_, boot_, 8080);
    const std::string line = normal.Finish();
    EXPECT_NE(line.find("qdboot starting: "), std::string::npos) << line;
    EXPECT_NE(line.find("running slot b, state trial"), std::string::npos) << line;
    EXPECT_NE(line.find("port 8080"), std::string::npos) << line;
    EXPECT_EQ(line.find("does not exist"), std::string::npos) << line;
}

}  // namespace
