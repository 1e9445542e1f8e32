// The status record and the report a query is answered with, in each
// state of the boot journal and at both levels of detail.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "camera_status.h"
#include "qd_status.h"
#include "qd_text.h"

namespace {

constexpr long long kStartMs = 5000;

CameraStatus Status(bool full) {
    QDBOOT_CFG_T cfg{};
    EXPECT_TRUE(qd::CopyText(cfg.szDeviceName, "DOME-7"));
    StatusConfig config{};
    config.bFull = full;
    CameraStatus status = StartCameraStatus("2.4.1", cfg, config, kStartMs);
    status.counterKnown = true;
    status.counter = 41;
    return status;
}

// A journal as LoadJournal leaves it after an upgrade recorded `state`.
void Journal(CameraStatus& status, const char* state, char slot = 'b') {
    status.view = JournalView::kRead;
    status.slot = slot;
    JournalRecord& record = status.journal;
    record = JournalRecord{};
    EXPECT_TRUE(qd::CopyText(record.state, state));
    EXPECT_TRUE(qd::CopyText(record.pkg, "0123456789abcdef"));
    EXPECT_TRUE(qd::CopyText(record.name, "dome-firmware"));
    EXPECT_TRUE(qd::CopyText(record.version, "2.5.0"));
    record.set = state[0] != '\0' ? 0x71U : 0x70U;  // state (when set), pkg, name, version
}

qd::StatusReport Sent(const CameraStatus& status, long long nowMs = kStartMs + 61999) {
    unsigned char reply[qd::kStatusReplySize];
    qd::EncodeStatusReply(BuildStatusReport(status, nowMs), 77, reply);
    qd::StatusReport report;
    std::uint32_t nonce = 0;
    EXPECT_TRUE(qd::DecodeStatusReply(reply, sizeof reply, &report, &nonce));
    return report;
}

TEST(StatusReport, NamesTheJournalStateAsTheToolsExpectIt) {
    CameraStatus status = Status(false);
    EXPECT_STREQ(Sent(status).state, "no journal");
    EXPECT_STREQ(Sent(status).slot, "");
    status.view = JournalView::kUnreadable;
    EXPECT_STREQ(Sent(status).state, "unreadable");
    Journal(status, "");
    EXPECT_STREQ(Sent(status).state, "none");
    for (const char* state : {"writing", "trial", "failed", "good", "bad", "rolledback"}) {
        Journal(status, state, 'a');
        EXPECT_STREQ(Sent(status).state, state);
        EXPECT_STREQ(Sent(status).slot, "a");
    }
    // A value this daemon never writes is passed on as found.
    Journal(status, "half-done?");
    EXPECT_STREQ(Sent(status).state, "half-done?");
}

TEST(StatusReport, BasicTellsWhatRunsAndHowLongFullAlsoWhatCameAndWhy) {
    CameraStatus status = Status(false);
    Journal(status, "trial");
    status.lastResult = qd::kStatusRollback;
    EXPECT_TRUE(qd::CopyText(status.lastText, "rollback: counter 39 is lower than 41"));
    EXPECT_TRUE(qd::CopyText(status.lastIdentity, "fedcba9876543210"));

    const qd::StatusReport basic = Sent(status);
    EXPECT_FALSE(basic.full);
    EXPECT_EQ(basic.format, qd::kStatusFormat);
    EXPECT_STREQ(basic.version, "2.4.1");
    EXPECT_STREQ(basic.device, "DOME-7");
    EXPECT_STREQ(basic.state, "trial");
    EXPECT_STREQ(basic.slot, "b");
    EXPECT_FALSE(basic.recovery);
    EXPECT_EQ(basic.uptime, 61U);
    EXPECT_FALSE(basic.counterKnown);
    EXPECT_EQ(basic.counter, 0U);
    EXPECT_EQ(basic.lastResult, qd::kStatusNoUpload);
    EXPECT_STREQ(basic.lastText, "");
    EXPECT_STREQ(basic.lastIdentity, "");
    EXPECT_STREQ(basic.name, "");
    EXPECT_STREQ(basic.identity, "");

    status.full = true;
    const qd::StatusReport full = Sent(status);
    EXPECT_TRUE(full.full);
    EXPECT_STREQ(full.state, "trial");
    EXPECT_TRUE(full.counterKnown);
    EXPECT_EQ(full.counter, 41U);
    EXPECT_EQ(full.lastResult, qd::kStatusRollback);
    EXPECT_STREQ(full.lastText, "rollback: counter 39 is lower than 41");
    EXPECT_STREQ(full.lastIdentity, "fedcba9876543210");
    EXPECT_STREQ(full.name, "dome-firmware");
    EXPECT_STREQ(full.pkgVersion, "2.5.0");
    EXPECT_STREQ(full.identity, "0123456789abcdef");
}

TEST(StatusReport, WithoutAJournalFullNamesNoPackageAndAnUnknownCounterIsSaid) {
    CameraStatus status = Status(true);
    status.counterKnown = false;
    status.counter = 0;
    const qd::StatusReport full = Sent(status, kStartMs - 10);
    EXPECT_EQ(full.uptime, 0U);
    EXPECT_FALSE(full.counterKnown);
    EXPECT_STREQ(full.name, "");
    EXPECT_STREQ(full.identity, "");
    EXPECT_EQ(full.lastResult, qd::kStatusNoUpload);
}

TEST(StatusRecord, KeepsTheLastUploadButNotAConnectionThatCarriedNone) {
    CameraStatus status = Status(true);
    UploadResult installed;
    installed.reason = qd::kStatusInstalled;
    EXPECT_TRUE(qd::CopyText(installed.text, "installed"));
    EXPECT_TRUE(qd::CopyText(installed.identity, "00112233aabbccdd"));
    RecordUpload(&status, installed);
    RecordUpload(&status, UploadResult{UploadStage::kReceive, -1});
    EXPECT_EQ(status.lastResult, qd::kStatusInstalled);
    EXPECT_STREQ(Sent(status).lastText, "installed");
    EXPECT_STREQ(Sent(status).lastIdentity, "00112233aabbccdd");
}

TEST(StatusRecord, LongPackageTextsAreCutToTheirFields) {
    CameraStatus status = Status(true);
    Journal(status, "good");
    std::memset(status.journal.name, 'n', sizeof status.journal.name - 1);
    status.journal.name[sizeof status.journal.name - 1] = '\0';
    EXPECT_EQ(std::string(Sent(status).name), std::string(qd::kStatusNameSize, 'n'));
}

}  // namespace
