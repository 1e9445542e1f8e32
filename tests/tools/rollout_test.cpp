// qdupk rollout: the pure pieces (targets file, scheduler, return watch,
// report) with made-up times, the loop against stand-in cameras on
// loopback, and the command's exit statuses and report file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_status_camera.h"
#include "fake_upload_server.h"
#include "fleet_package.h"
#include "package_reader.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "rollout_confirm.h"
#include "rollout_package.h"
#include "rollout_plan.h"
#include "rollout_record.h"
#include "rollout_report.h"
#include "rollout_return.h"
#include "rollout_run.h"
#include "rollout_scheduler.h"
#include "rollout_status.h"
#include "rollout_targets.h"
#include "target_exec.h"
#include "test_support.h"
#include "test_timing.h"

namespace qdtest {
namespace {

using qdupk::HostPort;
using qdupk::Millis;
using qdupk::TargetRecord;
using qdupk::TargetResult;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string MakePackage(std::size_t dataSize, std::int32_t type = QDUPK_ITEM_FILE) {
    return qdtest::FleetPackage(dataSize, type);
}

HostPort Target(const std::string& text) {
    return *qdupk::ParseHostPort(text);
}

// A loopback port where nothing listens any more.
std::string DeadAddress() {
    const FakeUploadServer gone(ServerReply::kAck);
    return gone.Address();
}

// --- targets file -----------------------------------------------------

TEST(RolloutTargets, FileLinesCommentsAndMistakes) {
    const qdupk::TargetList list = qdupk::ParseTargetList(
        "# site A\n10.0.0.2:8080\n\n  10.0.0.3:8080  # lobby\r\nnocolon\n10.0.0.4:0\ncam5:9",
        "t.txt");
    ASSERT_EQ(list.targets.size(), 3U);
    EXPECT_EQ(list.targets[1].host, "10.0.0.3");
    EXPECT_EQ(list.targets[2].host, "cam5");
    EXPECT_EQ(list.targets[2].port, 9);
    ASSERT_EQ(list.errors.size(), 2U);
    EXPECT_TRUE(Contains(list.errors[0], "t.txt:5: 'nocolon' is not HOST:PORT")) << list.errors[0];
    EXPECT_TRUE(Contains(list.errors[1], "t.txt:6:")) << list.errors[1];
}

// What is refused is refused whole and unread: a device never ends, a FIFO
// would wait for a writer, and a NUL byte would cut the text shown.
TEST(RolloutTargets, FilesThatAreNoTargetListAreRefusedUnread) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    WriteFile(dir.file("nul.txt"), std::string("10.0.0.2:80\n10.0.0.3:80\0# x\n", 25));
    const std::string comment = "#" + std::string(62, 'x') + "\n";  // 64 bytes
    std::string full;
    for (std::size_t i = 0; i < qdupk::kMaxTargetsFile / comment.size(); ++i) {
        full += comment;
    }
    WriteFile(dir.file("full.txt"), full);
    WriteFile(dir.file("over.txt"), full + "\n");
    const std::pair<std::string, std::string> refused[] = {
        {dir.path(), " is a directory, not a targets file"},
        {"/dev/zero", " is not a regular file"},
        {dir.file("fifo"), " is not a regular file"},
        {dir.file("over.txt"), " is larger than 1 MiB"},
        {dir.file("nul.txt"), ":2: a NUL byte"},
        {dir.file("none.txt"), ": No such file or directory"},
    };
    for (const auto& [path, why] : refused) {
        const qdupk::TargetList list = qdupk::ReadTargetList(path);
        EXPECT_TRUE(list.targets.empty()) << path;
        ASSERT_EQ(list.errors.size(), 1U) << path;
        EXPECT_TRUE(Contains(list.errors[0], path + why) ||
                    Contains(list.errors[0], "cannot read " + path + why))
            << list.errors[0];
    }
    const qdupk::TargetList fits = qdupk::ReadTargetList(dir.file("full.txt"));
    EXPECT_TRUE(fits.errors.empty() && fits.targets.empty());
}

TEST(RolloutTargets, RepeatsDroppedAndSearchResultsSortedNumerically) {
    std::vector<qdupk::Repeat> dropped;
    const std::vector<HostPort> kept = qdupk::WithoutRepeats(
        {Target("10.0.0.2:80"), Target("10.0.0.3:80"), Target("10.0.0.2:80")}, dropped);
    EXPECT_EQ(kept.size(), 2U);
    ASSERT_EQ(dropped.size(), 1U);
    EXPECT_EQ(dropped[0].name, "10.0.0.2:80");

    // One camera under five spellings is one target; another port is
    // another camera, and a name that does not resolve is kept by its text.
    dropped.clear();
    const std::vector<HostPort> spelled = qdupk::WithoutRepeats(
        {Target("127.0.0.1:8080"), Target("127.1:8080"), Target("2130706433:8080"),
         Target("0x7f.0.0.1:8080"), Target("localhost:8080"), Target("127.1:8081"),
         Target("no-such-camera.invalid:80"), Target("NO-SUCH-CAMERA.invalid:80")},
        dropped);
    std::vector<std::string> keptNames;
    for (const HostPort& t : spelled) {
        keptNames.push_back(qdupk::TargetName(t));
    }
    EXPECT_EQ(keptNames, (std::vector<std::string>{"127.0.0.1:8080", "127.1:8081",
                                                   "no-such-camera.invalid:80"}));
    ASSERT_EQ(dropped.size(), 5U);
    EXPECT_EQ(dropped[3].name, "localhost:8080");
    EXPECT_EQ(dropped[3].first, "127.0.0.1:8080");
    EXPECT_EQ(dropped[4].first, "no-such-camera.invalid:80");

    std::vector<HostPort> found = {Target("10.0.0.10:80"), Target("cam:80"), Target("10.0.0.9:81"),
                                   Target("10.0.0.9:80")};
    qdupk::SortByAddress(found);
    std::vector<std::string> names;
    names.reserve(found.size());
    for (const HostPort& t : found) {
        names.push_back(qdupk::TargetName(t));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"10.0.0.9:80", "10.0.0.9:81", "10.0.0.10:80", "cam:80"}));
}

// --- the package ------------------------------------------------------------

// What is verified is the open file every upload sends from, not whatever
// the path names by then.
TEST(RolloutPackage, TheOpenedFileIsVerifiedNotWhatItsPathNamesLater) {
    ScratchDir dir;
    const std::string good = MakePackage(3000);
    std::string damaged = good;
    damaged[432 + 456 + 100] ^= 0x01;
    const std::string path = dir.file("fw.upg");

    WriteFile(path, damaged);
    const qdupk::RolloutPackage opened = qdupk::OpenRolloutPackage(path);
    WriteFile(dir.file("good.upg"), good);
    ASSERT_EQ(rename(dir.file("good.upg").c_str(), path.c_str()), 0);
    try {
        (void)qdupk::VerifyOpened(opened, path, {});
        ADD_FAILURE() << "the damaged package that would be sent passed";
    } catch (const qdupk::Error& e) {
        EXPECT_TRUE(Contains(e.what(), path + ": the camera would refuse it: the data of item 1"))
            << e.what();
    }

    const qdupk::RolloutPackage kept = qdupk::OpenRolloutPackage(path);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(Contains(qdupk::VerifyOpened(kept, path, {}), "all digests match"));
    EXPECT_EQ(kept.size, good.size());

    EXPECT_THROW((void)qdupk::OpenRolloutPackage(dir.path()), qdupk::Error);
}

// --- scheduler ----------------------------------------------------------

std::vector<std::size_t> StartAll(qdupk::Scheduler& s, Clock::time_point now) {
    std::vector<std::size_t> started;
    for (auto next = s.Next(now); next; next = s.Next(now)) {
        started.push_back(*next);
    }
    return started;
}

TEST(RolloutScheduler, SlotsCanaryAndFailureLimit) {
    const Clock::time_point t0{};
    qdupk::RolloutPolicy policy;
    policy.parallel = 2;
    policy.canary = 3;
    qdupk::Scheduler s(6, policy);
    EXPECT_EQ(StartAll(s, t0), (std::vector<std::size_t>{0, 1}));
    s.Finished(0, true);
    // The third canary, not a fourth target, takes the free slot.
    EXPECT_EQ(StartAll(s, t0), std::vector<std::size_t>{2});
    s.Finished(1, true);
    EXPECT_TRUE(StartAll(s, t0).empty());
    s.Uploaded(2);  // acknowledged, being watched: holds no slot, canary not judged yet
    EXPECT_TRUE(StartAll(s, t0).empty());
    s.Finished(2, true);
    EXPECT_EQ(StartAll(s, t0), (std::vector<std::size_t>{3, 4}));
    EXPECT_FALSE(s.Idle());

    policy.canary = 2;
    policy.maxFailures = 1;
    qdupk::Scheduler failing(5, policy);
    EXPECT_EQ(StartAll(failing, t0), (std::vector<std::size_t>{0, 1}));
    failing.Finished(0, false);  // reaches the limit; the other canary still runs
    EXPECT_TRUE(failing.stopped().failureLimit);
    EXPECT_FALSE(failing.stopped().canary);
    EXPECT_FALSE(failing.Idle());
    failing.Finished(1, true);
    EXPECT_TRUE(failing.stopped().canary);
    EXPECT_TRUE(failing.Idle());
    EXPECT_EQ(failing.state(2), qdupk::Scheduler::State::kQueued);
}

TEST(RolloutScheduler, RetriesPauseTwiceAsLongEachTimeThenGiveUp) {
    const Clock::time_point t0{};
    qdupk::RolloutPolicy policy;
    policy.parallel = 1;
    policy.retries = 3;
    qdupk::Scheduler s(2, policy);
    ASSERT_EQ(s.Next(t0), std::optional<std::size_t>(0));
    std::vector<Millis> pauses;
    Clock::time_point now = t0;
    for (auto pause = s.Retry(0, now); pause; pause = s.Retry(0, now)) {
        pauses.push_back(*pause);
        // While target 0 pauses, its slot serves target 1 once.
        if (pauses.size() == 1) {
            ASSERT_EQ(s.Next(now), std::optional<std::size_t>(1));
            EXPECT_FALSE(s.NextRetry());  // no free slot: nothing to wake for
            s.Finished(1, true);
        }
        EXPECT_EQ(s.NextRetry(), now + *pause);
        EXPECT_FALSE(s.Next(now + *pause - Millis(1)));
        now += *pause;
        ASSERT_EQ(s.Next(now), std::optional<std::size_t>(0));
    }
    EXPECT_EQ(pauses, (std::vector<Millis>{Millis(2000), Millis(4000), Millis(8000)}));
    s.Finished(0, false);
    EXPECT_TRUE(s.Idle());

    // A watched target pushed again held no slot: the others keep theirs.
    policy.parallel = 2;
    qdupk::Scheduler watched(3, policy);
    EXPECT_EQ(StartAll(watched, t0), (std::vector<std::size_t>{0, 1}));
    watched.Uploaded(0);
    EXPECT_EQ(StartAll(watched, t0), std::vector<std::size_t>{2});
    ASSERT_EQ(watched.Retry(0, t0), Millis(2000));
    EXPECT_TRUE(StartAll(watched, t0 + Millis(2000)).empty());
    watched.Finished(1, true);
    EXPECT_EQ(StartAll(watched, t0 + Millis(2000)), std::vector<std::size_t>{0});

    // A stopped rollout retries nothing.
    qdupk::Scheduler stopped(1, policy);
    ASSERT_TRUE(stopped.Next(t0));
    stopped.Interrupt();
    EXPECT_FALSE(stopped.Retry(0, t0));
}

// --- return watch ---------------------------------------------------------

// Probes every second from the acknowledgement; `answers` says which probe
// gets an answer half a second later. The verdict, and when it fell.
std::pair<qdupk::ReturnWatch::Verdict, int> Watch(const std::vector<bool>& answers, int limitS) {
    const Clock::time_point ack{};
    qdupk::ReturnWatch watch(ack, Millis(limitS * 1000));
    std::size_t probe = 0;
    for (int halfS = 0; halfS <= 2 * limitS; ++halfS) {
        const Clock::time_point now = ack + Millis(500 * halfS);
        if (watch.verdict(now) != qdupk::ReturnWatch::Verdict::kWaiting) {
            return {watch.verdict(now), halfS};
        }
        if (halfS % 2 == 0) {
            EXPECT_TRUE(watch.ProbeDue(now)) << halfS;
            EXPECT_FALSE(watch.ProbeDue(now));
        } else if (probe < answers.size() && answers[probe++]) {
            watch.Answered(now);
            if (watch.verdict(now) == qdupk::ReturnWatch::Verdict::kBack) {
                return {qdupk::ReturnWatch::Verdict::kBack, halfS};
            }
        }
    }
    return {watch.verdict(ack + Millis(limitS * 1000)), -1};
}

TEST(RolloutReturnWatch, BackOnlyAfterSilenceThenAnAnswer) {
    using V = qdupk::ReturnWatch::Verdict;
    // Answers while going down, silent while rebooting, answers again.
    EXPECT_EQ(Watch({true, true, false, false, true}, 10), std::make_pair(V::kBack, 9));
    // Never silent: it did not reboot, so it is not "back".
    EXPECT_EQ(Watch({true, true, true, true, true, true}, 5).first, V::kNotBack);
    // Silent to the end.
    EXPECT_EQ(Watch({false, false, false}, 3).first, V::kNotBack);
    // An answer after the limit does not count.
    EXPECT_EQ(Watch({false, false, true}, 2).first, V::kNotBack);
}

// --- records and report -----------------------------------------------------

TEST(RolloutReport, ExitStatusPrecedenceAndReportFormats) {
    std::vector<TargetRecord> records(3);
    records[0] = {Target("10.0.0.2:80"),  TargetResult::kOk,     "fine", 100, 1.25, 1,
                  qdupk::BackState::kYes, qdupk::BackState::kYes};
    records[1] = {Target("10.0.0.3:80"),
                  TargetResult::kRefused,
                  "=closed, said \"no\"\nthen left",
                  100,
                  0.5,
                  1,
                  qdupk::BackState::kNotAsked};
    records[2] = {Target("10.0.0.4:80"),      TargetResult::kNotStarted, "", 0, 0.0, 0,
                  qdupk::BackState::kNotAsked};
    qdupk::StopReasons stop;
    EXPECT_EQ(qdupk::RolloutExitStatus(records, stop), qdupk::kExitSomeFailed);
    stop.failureLimit = true;
    EXPECT_EQ(qdupk::RolloutExitStatus(records, stop), qdupk::kExitFailureLimit);
    stop.canary = true;
    EXPECT_EQ(qdupk::RolloutExitStatus(records, stop), qdupk::kExitCanaryStop);
    stop.interrupted = true;
    EXPECT_EQ(qdupk::RolloutExitStatus(records, stop), qdupk::kExitInterrupted);
    EXPECT_EQ(qdupk::RolloutExitStatus({records[0]}, {}), 0);

    EXPECT_EQ(qdupk::ReportCsv(records),
              "address,result,reason,bytes,seconds,attempts,back,confirmed\n"
              "10.0.0.2:80,ok,fine,100,1.2,1,yes,yes\n"
              "10.0.0.3:80,refused,\"'=closed, said \"\"no\"\"\nthen left\",100,0.5,1,,\n"
              "10.0.0.4:80,not-started,,0,0.0,0,,\n");
    const std::string json = qdupk::ReportJson(records, {});
    EXPECT_TRUE(Contains(json, "\"exit\": 3")) << json;
    EXPECT_TRUE(Contains(json, "\"not-started\": 1")) << json;
    EXPECT_TRUE(Contains(json,
                         "{\"address\": \"10.0.0.2:80\", \"attempts\": 1, \"back\": true, "
                         "\"bytes\": 100, \"confirmed\": true, \"reason\": \"fine\", "
                         "\"result\": \"ok\", \"seconds\": 1.3}"))
        << json;
    EXPECT_TRUE(Contains(json, "\"back\": null")) << json;
    EXPECT_TRUE(qdupk::IsReportPath("out/Site.CSV"));
    EXPECT_FALSE(qdupk::IsReportPath("site.txt"));
}

// A job killed mid-rollout must leave every result so far, and a finished
// one only the report.
TEST(RolloutReport, ThePartialFileHoldsEachResultAtOnceAndGoesWithTheReport) {
    ScratchDir dir;
    TargetRecord ok{Target("10.0.0.2:80"), TargetResult::kOk, "fine", 100, 1.25, 1};
    TargetRecord refused{Target("10.0.0.3:80"), TargetResult::kRefused, "no", 100, 0.5, 1};
    for (const char* name : {"site.csv", "site.json"}) {
        const std::string report = dir.file(name);
        {
            qdupk::PartialReport partial(report);
            partial.Add(ok);
            const std::string early = ReadFile(report + ".partial");  // not closed yet
            partial.Add(refused);
            const std::string later = ReadFile(report + ".partial");
            if (Contains(name, ".csv")) {
                EXPECT_EQ(early, qdupk::ReportCsv({ok}));
                EXPECT_EQ(later, qdupk::ReportCsv({ok, refused}));
            } else {
                EXPECT_EQ(later, early + R"({"address": "10.0.0.3:80", "attempts": 1, )"
                                         R"("back": null, "bytes": 100, "confirmed": null, )"
                                         R"("reason": "no", "result": "refused", "seconds": 0.5})"
                                         "\n");
            }
        }
        EXPECT_TRUE(FileExists(report + ".partial")) << "kept: the report was not written";
        EXPECT_THROW(qdupk::PartialReport again(report), qdupk::Error);  // never overwritten
        ASSERT_EQ(unlink((report + ".partial").c_str()), 0);
        { const qdupk::PartialReport failedEarly(report); }  // no result: nothing to keep
        EXPECT_FALSE(FileExists(report + ".partial"));
        {
            qdupk::PartialReport partial(report);
            qdupk::WriteReport(report, {ok}, {});
            partial.MarkFinished();
        }
        EXPECT_FALSE(FileExists(report + ".partial"));
        EXPECT_TRUE(FileExists(report));
    }
}

TEST(RolloutPlan, BatchesFollowCanaryAndParallel) {
    qdupk::RolloutPolicy policy;
    policy.parallel = 2;
    policy.canary = 3;
    using Batches = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(qdupk::PlanBatches(6, policy), (Batches{{0, 1}, {2}, {3, 4}, {5}}));
    policy.canary = 9;  // more canaries than targets
    EXPECT_EQ(qdupk::PlanBatches(2, policy), (Batches{{0, 1}}));
    EXPECT_TRUE(qdupk::PlanBatches(0, policy).empty());
}

// Answers for the addresses it knows, through a pipe as the socket would.
class EchoProbe : public qdupk::ReturnProbe {
  public:
    explicit EchoProbe(std::vector<std::string> answering) : answering_(std::move(answering)) {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            read_.reset(fds[0]);
            write_.reset(fds[1]);
        }
    }
    int Descriptor() const override { return read_.get(); }
    void Probe(const std::string& address) override {
        probed.push_back(address);
        if (std::find(answering_.begin(), answering_.end(), address) != answering_.end()) {
            pending_.push_back(address);
            (void)write(write_.get(), "x", 1);
        }
    }
    std::vector<std::string> Answers() override {
        char sink[64];
        while (read(read_.get(), sink, sizeof sink) > 0) {
        }
        return std::exchange(pending_, {});
    }
    std::vector<std::string> probed;

  private:
    std::vector<std::string> answering_;
    std::vector<std::string> pending_;
    qd::UniqueFd read_;
    qd::UniqueFd write_;
};

TEST(RolloutPlan, TheProbeMatchesAnswersToTargetsByAddress) {
    EchoProbe probe({"127.0.0.1"});
    const std::vector<bool> answers = qdupk::ProbeTargets(
        {Target("127.0.0.2:80"), Target("127.0.0.1:80"), Target("localhost:81")}, probe,
        Millis(300));
    EXPECT_EQ(answers, (std::vector<bool>{false, true, true}));
    // Each target searched for, the silent one a second time half-way.
    EXPECT_EQ(std::count(probe.probed.begin(), probe.probed.end(), "127.0.0.2"), 2);
}

// --- confirmation from the camera's status -----------------------------------

constexpr char kSent[] = "1111222233334444";
constexpr char kOld[] = "9999888877776666";

qd::StatusReport Basic(qd::StatusReport report) {
    report.full = false;
    report.identity[0] = '\0';
    return report;
}

TEST(RolloutConfirm, ReportsAfterTheAcknowledgementGiveTheOutcome) {
    qd::StatusReport inRecovery = Report("good", kSent, 5);
    inRecovery.recovery = true;
    struct Case {
        qd::StatusReport report;
        std::optional<TargetResult> result;  // none: keep waiting
    };
    // 20 s after the acknowledgement; up 5 s: restarted since, up 500 s: not yet.
    const Case cases[] = {
        {Report("good", kSent, 5), TargetResult::kOk},
        {Report("trial", kSent, 5), std::nullopt},
        {Report("rolledback", kSent, 500), TargetResult::kRolledBack},
        {Report("bad", kSent, 5), TargetResult::kRolledBack},
        {Report("good", kOld, 5), TargetResult::kRolledBack},  // the old firmware, rebooted
        {Report("good", kOld, 500), std::nullopt},             // not rebooted yet
        {Basic(Report("good", "", 5)), TargetResult::kOk},
        {Basic(Report("good", "", 500)), std::nullopt},
        {inRecovery, TargetResult::kRecovery},
        {Report("no journal", "", 5), TargetResult::kOk},
        {Report("no journal", "", 500), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = qdupk::JudgeReport(c.report, {kSent, false}, 20.0);
        ASSERT_EQ(got.has_value(), c.result.has_value()) << c.report.state << c.report.uptime;
        if (got) {
            EXPECT_EQ(got->result, *c.result) << got->reason;
            EXPECT_EQ(got->confirmed,
                      got->result == TargetResult::kOk && std::string(c.report.state) == "good")
                << got->reason;
        }
    }
    // A package the journal does not record: back once restarted, whatever the state.
    const auto file = qdupk::JudgeReport(Report("trial", kOld, 5), {kSent, true}, 20.0);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->result, TargetResult::kOk);
    EXPECT_TRUE(Contains(file->reason, "no kernel or root file system image")) << file->reason;
}

TEST(RolloutConfirm, SilenceOrAStuckStateIsUnconfirmedAndARefusalNamesItsReason) {
    const Clock::time_point ack{};
    qdupk::ConfirmWatch silent(ack, Millis(10000), {kSent, false});
    EXPECT_TRUE(silent.QueryDue(ack));
    EXPECT_FALSE(silent.QueryDue(ack + Millis(1000)));
    EXPECT_TRUE(silent.QueryDue(ack + Millis(2000)));
    EXPECT_FALSE(silent.verdict(ack + Millis(9999)));
    auto late = silent.verdict(ack + Millis(10000));
    ASSERT_TRUE(late);
    EXPECT_EQ(late->result, TargetResult::kUnconfirmed);
    EXPECT_EQ(late->reason, "not confirmed within 10 s; no status yet since the acknowledgement");

    qdupk::ConfirmWatch stuck(ack, Millis(10000), {kSent, false});
    stuck.Reported(Report("trial", kSent, 3), ack + Millis(5000));
    late = stuck.verdict(ack + Millis(10000));
    ASSERT_TRUE(late);
    EXPECT_EQ(late->reason, "not confirmed within 10 s; last state seen: trial");
    EXPECT_TRUE(stuck.back());

    qd::StatusReport refused = Report("good", kOld, 50);
    (void)qd::CopyText(refused.lastIdentity, kSent);
    (void)qd::CopyText(refused.lastText, "rollback: counter 99 is lower than 100");
    qdupk::RefusalWatch ours(ack, kSent);
    EXPECT_TRUE(ours.QueryDue(ack));
    ours.Reported(refused);
    EXPECT_TRUE(ours.done(ack));
    EXPECT_EQ(ours.reason(),
              "the camera refused the package: rollback: counter 99 is lower than 100");
    qdupk::RefusalWatch other(ack, kOld + std::string());
    other.Reported(Report("good", kSent, 50));  // its last upload was another package
    EXPECT_EQ(other.reason(), "");
    qdupk::RefusalWatch unanswered(ack, kSent);
    int queries = 0;
    for (int ms = 0; ms < 5000; ms += 100) {
        queries += unanswered.QueryDue(ack + Millis(ms)) ? 1 : 0;
    }
    EXPECT_EQ(queries, qdupk::RefusalWatch::kQueries);
    EXPECT_FALSE(unanswered.done(ack + Millis(2999)));
    EXPECT_TRUE(unanswered.done(ack + Millis(3000)));
}

// --- the loop on loopback -----------------------------------------------------

// Records what the loop reports; can press Ctrl-C when an upload starts.
class Recorder : public qdupk::RolloutObserver {
  public:
    void Started(const TargetRecord& r) override {
        events.push_back("start " + qdupk::TargetName(r.target));
        if (pressOnStart > 0) {
            presses = pressOnStart;
        }
    }
    void RetryLater(const TargetRecord& r, Millis pause) override {
        events.push_back("retry " + qdupk::TargetName(r.target));
        pausesSeen.push_back(pause);
    }
    void Acknowledged(const TargetRecord& r) override {
        events.push_back("ack " + qdupk::TargetName(r.target));
    }
    void Finished(const TargetRecord& r) override {
        events.push_back(std::string(qdupk::ResultName(r.result)) + " " +
                         qdupk::TargetName(r.target));
        if (r.result == TargetResult::kOk && ++oks == pressAfterOk) {
            presses = 2;
        }
    }
    void Stopped(const qdupk::StopReasons& now, const char* reason) override {
        (void)now;
        events.push_back(std::string("stop ") + reason);
    }

    std::vector<std::string> events;
    std::vector<Millis> pausesSeen;
    int pressOnStart = 0;
    int pressAfterOk = 0;
    int oks = 0;
    volatile std::sig_atomic_t presses = 0;
};

class RolloutLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        package_ = MakePackage(200000);
        WriteFile(dir_.file("pkg.upg"), package_);
        fd_.reset(open(dir_.file("pkg.upg").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd_.valid());
        settings_.attempt.packageFd = fd_.get();
        settings_.attempt.size = package_.size();
        settings_.attempt.connectTimeout = Millis(2000);
        settings_.attempt.timeout = Millis(5000);
        settings_.policy.firstPause = Millis(1);  // the schedule itself is tested above
        settings_.interrupts = &recorder_.presses;
    }

    qdupk::RolloutOutcome Run(const std::vector<std::string>& targets) {
        std::vector<HostPort> list;
        list.reserve(targets.size());
        for (const std::string& t : targets) {
            list.push_back(Target(t));
        }
        return qdupk::RunRollout(list, settings_, recorder_);
    }

    std::string Body(FakeUploadServer& camera, std::size_t upload = 0) {
        const std::vector<ReceivedUpload> got = camera.Received();
        return upload < got.size() ? std::string(got[upload].body.begin(), got[upload].body.end())
                                   : std::string();
    }

    ScratchDir dir_;
    std::string package_;
    qd::UniqueFd fd_;
    qdupk::RolloutSettings settings_;
    Recorder recorder_;
};

TEST_F(RolloutLoopTest, EachCameraGetsItsOwnResultAndOnlyConnectionTroubleIsRetried) {
    FakeUploadServer ok(ServerReply::kAck);
    FakeUploadServer refusing(ServerReply::kClose);
    FakeUploadServer silent(ServerReply::kSilent);
    const std::string dead = DeadAddress();
    settings_.attempt.timeout = Millis(1000);

    const qdupk::RolloutOutcome out =
        Run({ok.Address(), refusing.Address(), dead, silent.Address()});

    ASSERT_EQ(out.records.size(), 4U);
    const auto& r = out.records;
    EXPECT_EQ(r[0].result, TargetResult::kOk) << r[0].reason;
    EXPECT_EQ(r[0].bytes, package_.size());
    EXPECT_EQ(Body(ok), package_);
    EXPECT_EQ(r[1].result, TargetResult::kRefused);
    EXPECT_TRUE(Contains(r[1].reason, "closed the connection without acknowledgement"));
    EXPECT_EQ(r[2].result, TargetResult::kNoConnection);
    EXPECT_TRUE(Contains(r[2].reason, "Connection refused")) << r[2].reason;
    EXPECT_EQ(r[3].result, TargetResult::kTimeout);
    EXPECT_TRUE(Contains(r[3].reason, "no acknowledgement within 1 s")) << r[3].reason;
    EXPECT_EQ(r[2].attempts, 3);  // no connection: retried
    // The whole package went out: a refusal or silence is the camera's verdict.
    EXPECT_EQ(r[1].attempts, 1);
    EXPECT_EQ(refusing.Connections(), 1);
    EXPECT_EQ(r[3].attempts, 1);
    EXPECT_EQ(silent.Connections(), 1);
    EXPECT_EQ(out.exitStatus, qdupk::kExitSomeFailed);
    EXPECT_FALSE(out.stop.any());
}

TEST_F(RolloutLoopTest, AConnectionBrokenBeforeTheLastByteIsRetried) {
    FakeUploadServer dropping(ServerReply::kCloseEarly);  // closes after the header
    package_ = MakePackage(16 << 20);  // outgrows the socket buffers, so the close breaks the send
    WriteFile(dir_.file("pkg.upg"), package_);
    settings_.attempt.size = package_.size();
    const qdupk::RolloutOutcome out = Run({dropping.Address()});
    EXPECT_EQ(out.records[0].result, TargetResult::kRefused);
    EXPECT_TRUE(Contains(out.records[0].reason, "closed the connection after "))
        << out.records[0].reason;
    EXPECT_EQ(out.records[0].attempts, 3);
    EXPECT_EQ(dropping.Connections(), 3);
    EXPECT_EQ(recorder_.pausesSeen, (std::vector<Millis>{Millis(1), Millis(2)}));
}

TEST_F(RolloutLoopTest, ACameraThatStopsTakingDataTimesOutWithoutARetry) {
    FakeUploadServer stalled(ServerReply::kStall);
    package_ = MakePackage(16 << 20);
    WriteFile(dir_.file("pkg.upg"), package_);
    settings_.attempt.size = package_.size();
    settings_.attempt.timeout = Millis(500);
    const qdupk::RolloutOutcome out = Run({stalled.Address()});
    EXPECT_EQ(out.records[0].result, TargetResult::kTimeout);
    EXPECT_TRUE(Contains(out.records[0].reason, "the camera took no data for 0.5 s (after "))
        << out.records[0].reason;
    EXPECT_LT(out.records[0].bytes, package_.size());
    EXPECT_EQ(stalled.Connections(), 1);
}

TEST_F(RolloutLoopTest, AHangingCameraHoldsOnlyItsOwnSlot) {
    FakeUploadServer hanging(ServerReply::kSilent);
    FakeUploadServer a(ServerReply::kAck);
    FakeUploadServer b(ServerReply::kAck);
    FakeUploadServer c(ServerReply::kAck);
    settings_.policy.parallel = 2;
    settings_.attempt.timeout = Millis(600000);
    // The others all pass through the second slot; then two Ctrl-C end the
    // hanging upload, which would otherwise wait its ten minutes.
    recorder_.pressAfterOk = 3;
    const qdupk::RolloutOutcome out =
        Run({hanging.Address(), a.Address(), b.Address(), c.Address()});
    EXPECT_EQ(out.records[0].result, TargetResult::kAborted);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(out.records[i].result, TargetResult::kOk) << out.records[i].reason;
    }
}

TEST_F(RolloutLoopTest, NeverMoreUploadsAtOnceThanAllowed) {
    ConcurrencyGauge gauge;
    gauge.holdUntil = 3;
    std::vector<std::unique_ptr<FakeUploadServer>> cameras;
    std::vector<std::string> targets;
    for (int i = 0; i < 7; ++i) {
        cameras.push_back(std::make_unique<FakeUploadServer>(ServerReply::kAck, &gauge));
        targets.push_back(cameras.back()->Address());
    }
    settings_.policy.parallel = 3;
    const qdupk::RolloutOutcome out = Run(targets);
    EXPECT_EQ(gauge.peak, 3);
    EXPECT_EQ(out.exitStatus, 0);
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        EXPECT_EQ(out.records[i].result, TargetResult::kOk) << out.records[i].reason;
        EXPECT_EQ(Body(*cameras[i]), package_) << i;
    }
}

TEST_F(RolloutLoopTest, AFailedCanaryKeepsThePackageFromEveryOtherCamera) {
    FakeUploadServer canaryOk(ServerReply::kAck);
    FakeUploadServer canaryBad(ServerReply::kClose);
    FakeUploadServer rest1(ServerReply::kAck);
    FakeUploadServer rest2(ServerReply::kAck);
    settings_.policy.canary = 2;
    settings_.policy.maxFailures = 1;  // also reached: the canary wins
    const qdupk::RolloutOutcome out =
        Run({canaryOk.Address(), canaryBad.Address(), rest1.Address(), rest2.Address()});
    EXPECT_EQ(out.exitStatus, qdupk::kExitCanaryStop);
    EXPECT_EQ(rest1.Connections() + rest2.Connections(), 0);
    EXPECT_EQ(out.records[2].result, TargetResult::kNotStarted);
    EXPECT_EQ(out.records[3].result, TargetResult::kNotStarted);
    EXPECT_EQ(out.records[3].attempts, 0);
}

TEST_F(RolloutLoopTest, TheFailureLimitStopsNewUploads) {
    FakeUploadServer bad1(ServerReply::kClose);
    FakeUploadServer bad2(ServerReply::kFailureResult);
    FakeUploadServer good(ServerReply::kAck);
    settings_.policy.parallel = 1;
    settings_.policy.maxFailures = 2;
    const qdupk::RolloutOutcome out = Run({bad1.Address(), bad2.Address(), good.Address()});
    EXPECT_EQ(out.exitStatus, qdupk::kExitFailureLimit);
    EXPECT_TRUE(Contains(out.records[1].reason, "answered AA CC DD 03 FF FF FF FF"));
    EXPECT_EQ(out.records[2].result, TargetResult::kNotStarted);
    EXPECT_EQ(good.Connections(), 0);
    EXPECT_EQ(recorder_.events.back(), "not-started " + good.Address());
    // Reached by the last target, the limit held nothing back.
    const qdupk::RolloutOutcome last = Run({good.Address(), bad1.Address(), bad2.Address()});
    EXPECT_EQ(last.exitStatus, qdupk::kExitSomeFailed);
    EXPECT_FALSE(last.stop.any());
}

TEST_F(RolloutLoopTest, CtrlCFinishesRunningUploadsAndASecondOneAbortsThem) {
    FakeUploadServer first(ServerReply::kAck);
    FakeUploadServer second(ServerReply::kAck);
    settings_.policy.parallel = 1;
    recorder_.pressOnStart = 1;
    qdupk::RolloutOutcome out = Run({first.Address(), second.Address()});
    EXPECT_EQ(out.exitStatus, qdupk::kExitInterrupted);
    EXPECT_EQ(out.records[0].result, TargetResult::kOk);
    EXPECT_EQ(Body(first), package_);
    EXPECT_EQ(out.records[1].result, TargetResult::kNotStarted);
    EXPECT_EQ(second.Connections(), 0);

    FakeUploadServer hanging(ServerReply::kSilent);
    recorder_.pressOnStart = 2;
    recorder_.presses = 0;
    settings_.attempt.timeout = Millis(60000);
    out = Run({hanging.Address()});
    EXPECT_EQ(out.exitStatus, qdupk::kExitInterrupted);
    EXPECT_EQ(out.records[0].result, TargetResult::kAborted);
    EXPECT_TRUE(Contains(out.records[0].reason, "aborted by a second Ctrl-C"));
}

// Answers each probe as scripted, through a pipe the loop polls.
class ScriptedProbe : public qdupk::ReturnProbe {
  public:
    explicit ScriptedProbe(std::vector<bool> answers) : answers_(std::move(answers)) {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            read_.reset(fds[0]);
            write_.reset(fds[1]);
        }
    }
    int Descriptor() const override { return read_.get(); }
    void Probe(const std::string& address) override {
        probed = address;
        if (next_ < answers_.size() && answers_[next_++]) {
            (void)write(write_.get(), "x", 1);
        }
    }
    std::vector<std::string> Answers() override {
        char sink[64];
        std::vector<std::string> got;
        while (read(read_.get(), sink, sizeof sink) > 0) {
            got.push_back(probed);
        }
        return got;
    }
    std::string probed;

  private:
    std::vector<bool> answers_;
    std::size_t next_ = 0;
    qd::UniqueFd read_;
    qd::UniqueFd write_;
};

TEST_F(RolloutLoopTest, ACanaryThatDoesNotComeBackStopsTheRollout) {
    FakeUploadServer canary(ServerReply::kAck);
    FakeUploadServer other(ServerReply::kAck);
    ScriptedProbe probe({true});  // answers, then never again
    settings_.policy.canary = 1;
    settings_.waitReturn = Millis(2500);
    settings_.probe = &probe;
    const qdupk::RolloutOutcome out = Run({canary.Address(), other.Address()});
    EXPECT_EQ(probe.probed, "127.0.0.1");
    EXPECT_EQ(out.records[0].result, TargetResult::kNotBack);
    EXPECT_EQ(out.records[0].back, qdupk::BackState::kNo);
    EXPECT_TRUE(Contains(out.records[0].reason, "went down and did not answer again"))
        << out.records[0].reason;
    EXPECT_EQ(out.exitStatus, qdupk::kExitCanaryStop);
    EXPECT_EQ(other.Connections(), 0);
}

TEST_F(RolloutLoopTest, ACanaryThatComesBackLetsTheOthersGo) {
    FakeUploadServer canary(ServerReply::kAck);
    FakeUploadServer other(ServerReply::kAck);
    // Canary: up, down, up again. The other: down, up.
    ScriptedProbe probe({true, false, true, false, true});
    settings_.policy.canary = 1;
    settings_.waitReturn = Millis(5000);
    settings_.probe = &probe;
    const qdupk::RolloutOutcome out = Run({canary.Address(), other.Address()});
    EXPECT_EQ(out.exitStatus, 0);
    for (const TargetRecord& r : out.records) {
        EXPECT_EQ(r.result, TargetResult::kOk) << r.reason;
        EXPECT_EQ(r.back, qdupk::BackState::kYes);
    }
    EXPECT_EQ(recorder_.events,
              (std::vector<std::string>{"start " + canary.Address(), "ack " + canary.Address(),
                                        "ok " + canary.Address(), "start " + other.Address(),
                                        "ack " + other.Address(), "ok " + other.Address()}));
}

// A stand-in camera's status: `before` until its upload server took a
// package, `after` from then on.
StatusAnswerFn BeforeAndAfter(FakeUploadServer& camera, const qd::StatusReport& before,
                              const qd::StatusReport& after) {
    return [&camera, before, after] { return camera.Received().empty() ? before : after; };
}

TEST_F(RolloutLoopTest, TheStatusAfterTheRebootConfirmsRollsBackOrLeavesUnconfirmed) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000, QDUPK_ITEM_KERNEL));
    settings_.attempt.size = ReadFile(dir_.file("pkg.upg")).size();
    const std::string sent = qdupk::ReadPackage(dir_.file("pkg.upg")).identity;
    const qd::StatusReport old = Report("good", kOld, 900);
    FakeUploadServer good(ServerReply::kAck, nullptr, "127.22.2.1");
    FakeUploadServer fell(ServerReply::kAck, nullptr, "127.22.2.2");
    FakeUploadServer stuck(ServerReply::kAck, nullptr, "127.22.2.3");
    const FakeStatusCamera goodStatus("127.22.2.1",
                                      BeforeAndAfter(good, old, Report("good", sent.c_str(), 0)));
    const FakeStatusCamera fellStatus(
        "127.22.2.2", BeforeAndAfter(fell, old, Report("rolledback", sent.c_str(), 0)));
    const FakeStatusCamera stuckStatus(
        "127.22.2.3", BeforeAndAfter(stuck, old, Report("trial", sent.c_str(), 900)));
    qdupk::StatusClient client;
    const std::vector<std::string> targets = {good.Address(), fell.Address(), stuck.Address()};
    settings_.status = &client;
    settings_.before =
        qdupk::AskBefore(client, {Target(targets[0]), Target(targets[1]), Target(targets[2])});
    settings_.identity = sent;
    settings_.waitReturn = Millis(60000);
    settings_.confirmTimeout = Millis(3000);

    const qdupk::RolloutOutcome out = Run(targets);

    const auto& r = out.records;
    EXPECT_EQ(r[0].result, TargetResult::kOk) << r[0].reason;
    EXPECT_EQ(r[0].confirmed, qdupk::BackState::kYes);
    EXPECT_TRUE(Contains(r[0].reason, "confirmed: runs fleet 2.0 (" + sent + "), good"))
        << r[0].reason;
    EXPECT_EQ(r[1].result, TargetResult::kRolledBack) << r[1].reason;
    EXPECT_EQ(r[1].confirmed, qdupk::BackState::kNo);
    EXPECT_EQ(r[2].result, TargetResult::kUnconfirmed) << r[2].reason;
    EXPECT_EQ(r[2].reason, "not confirmed within 3 s; last state seen: trial");
    EXPECT_EQ(out.exitStatus, qdupk::kExitSomeFailed);
    // One query before, then one every two seconds at most.
    EXPECT_LE(stuckStatus.Queries(), 1 + 3);
}

// A stand-in camera's status through its uploads: `reports[n]` once it took
// n packages, the last one from then on.
StatusAnswerFn ByUploads(FakeUploadServer& camera, std::vector<qd::StatusReport> reports) {
    return [&camera, reports] {
        return reports[std::min(camera.Received().size(), reports.size() - 1)];
    };
}

qd::StatusReport InRecovery(const char* state) {
    qd::StatusReport report = Report(state, kOld, 0);
    report.recovery = true;
    return report;
}

TEST_F(RolloutLoopTest, ACameraBackInRecoveryIsPushedAgainWhileRetriesLast) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000, QDUPK_ITEM_KERNEL));
    package_ = ReadFile(dir_.file("pkg.upg"));
    settings_.attempt.size = package_.size();
    const std::string sent = qdupk::ReadPackage(dir_.file("pkg.upg")).identity;
    const qd::StatusReport old = Report("good", kOld, 900);
    FakeUploadServer healed(ServerReply::kAck, nullptr, "127.22.4.1");
    FakeUploadServer stuck(ServerReply::kAck, nullptr, "127.22.4.2");
    const FakeStatusCamera healedStatus(
        "127.22.4.1",
        ByUploads(healed, {old, InRecovery("writing"), Report("good", sent.c_str(), 0)}));
    const FakeStatusCamera stuckStatus("127.22.4.2", ByUploads(stuck, {old, InRecovery("failed")}));
    qdupk::StatusClient client;
    const std::vector<std::string> targets = {healed.Address(), stuck.Address()};
    settings_.status = &client;
    settings_.before = qdupk::AskBefore(client, {Target(targets[0]), Target(targets[1])});
    settings_.identity = sent;
    settings_.waitReturn = Millis(60000);
    settings_.confirmTimeout = Millis(10000);
    settings_.repushRecovery = true;

    const qdupk::RolloutOutcome out = Run(targets);

    const auto& r = out.records;
    EXPECT_EQ(r[0].result, TargetResult::kOk) << r[0].reason;
    EXPECT_EQ(r[0].reason,
              "came back in recovery (state writing) after attempt 1; pushed again (attempt 2 "
              "of 3); confirmed: runs fleet 2.0 (" +
                  sent + "), good");
    EXPECT_EQ(r[0].attempts, 2);
    EXPECT_EQ(r[0].confirmed, qdupk::BackState::kYes);
    ASSERT_EQ(healed.Received().size(), 2U);
    EXPECT_EQ(Body(healed, 1), package_);  // the same package again
    EXPECT_EQ(r[1].result, TargetResult::kRecovery) << r[1].reason;
    EXPECT_EQ(r[1].reason,
              "came back in recovery (state failed) after attempt 1; pushed again (attempt 2 of "
              "3); came back in recovery (state failed) after attempt 2; pushed again (attempt 3 "
              "of 3); restarted into its recovery system (state failed); not pushed again: no "
              "retries left");
    EXPECT_EQ(r[1].attempts, 3);
    EXPECT_EQ(stuck.Received().size(), 3U);
    EXPECT_EQ(out.exitStatus, qdupk::kExitSomeFailed);
    const auto retries =
        std::count(recorder_.events.begin(), recorder_.events.end(), "retry " + targets[1]);
    EXPECT_EQ(retries, 2);
}

// --- the command ------------------------------------------------------------

class RolloutCommandTest : public ::testing::Test {
  protected:
    CommandResult Rollout(const std::vector<std::string>& args) const {
        std::vector<std::string> withCommand = {"rollout"};
        withCommand.insert(withCommand.end(), args.begin(), args.end());
        return RunCommand(TargetArgv(QDUPK_EXE, withCommand), Millis(30000));
    }
    ScratchDir dir_;
};

TEST_F(RolloutCommandTest, ReportNamesEveryTargetAndTheExitStatusSaysSomeFailed) {
    FakeUploadServer ok(ServerReply::kAck);
    FakeUploadServer refusing(ServerReply::kClose);
    const std::string dead = DeadAddress();
    const std::string package = MakePackage(5000);
    WriteFile(dir_.file("pkg.upg"), package);
    WriteFile(dir_.file("site.txt"), "# lobby\n" + refusing.Address() + "\n" + dead + "\n");
    const CommandResult r =
        Rollout({dir_.file("pkg.upg"), ok.Address(), "--targets", dir_.file("site.txt"),
                 "--retries", "0", "--report", dir_.file("out.csv")});
    EXPECT_EQ(r.status, qdupk::kExitSomeFailed) << r.output;
    EXPECT_TRUE(Contains(r.output, "ok " + ok.Address() + ": ")) << r.output;
    EXPECT_TRUE(Contains(r.output, "rollout: 3 targets: 1 ok, 1 refused, 1 no-connection"))
        << r.output;
    const std::string csv = ReadFile(dir_.file("out.csv"));
    EXPECT_TRUE(Contains(csv, "address,result,reason,bytes,seconds,attempts,back,confirmed\n" +
                                  ok.Address() + ",ok,"))
        << csv;
    EXPECT_TRUE(Contains(csv, "\n" + refusing.Address() + ",refused,")) << csv;
    EXPECT_TRUE(Contains(csv, "\n" + dead + ",no-connection,")) << csv;
    EXPECT_EQ(ok.Received().size(), 1U);
}

TEST_F(RolloutCommandTest, NothingIsSentForADryRunOrAPackageACameraWouldRefuse) {
    FakeUploadServer camera(ServerReply::kAck);
    std::string package = MakePackage(5000);
    WriteFile(dir_.file("pkg.upg"), package);
    // The probe is a search to the camera's address on loopback; no camera
    // answers it there, and it must not connect to the upload port. User-mode
    // emulation cannot join the search group on loopback, so there the plan
    // is checked without the probe.
    const bool probe = !qdtest::UnderEmulator();
    std::vector<std::string> args = {dir_.file("pkg.upg"),
                                     camera.Address(),
                                     "-n",
                                     "--interface",
                                     "lo",
                                     "--search-timeout",
                                     "0.2",
                                     "--canary",
                                     "1",
                                     "--json",
                                     "--report",
                                     dir_.file("plan.json")};
    if (probe) {
        args.emplace_back("--probe");
    }
    CommandResult r = Rollout(args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "{\"address\": \"" + camera.Address() + "\", " +
                                       (probe ? "\"answers\": false, " : "") +
                                       "\"canary\": true, \"event\": \"target\"}"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "\"batches\": [[\"" + camera.Address() + "\"]]")) << r.output;
    EXPECT_TRUE(Contains(ReadFile(dir_.file("plan.json")), "\"result\": \"not-started\""));

    package[432 + 456 + 100] ^= 0x01;
    WriteFile(dir_.file("bad.upg"), package);
    r = Rollout({dir_.file("bad.upg"), camera.Address()});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "the camera would refuse it")) << r.output;

    WriteFile(dir_.file("site.txt"), camera.Address() + "\nnot a target\n");
    r = Rollout({dir_.file("pkg.upg"), "--targets", dir_.file("site.txt")});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "site.txt:2: 'not a target'")) << r.output;
    EXPECT_EQ(camera.Connections(), 0);
}

TEST_F(RolloutCommandTest, OneCameraUnderManySpellingsGetsOneUploadAndNoTargetIsRefused) {
    FakeUploadServer camera(ServerReply::kAck);
    const std::string port = camera.Address().substr(camera.Address().rfind(':'));
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000));
    WriteFile(dir_.file("site.txt"), "127.1" + port + "\n0x7f.0.0.1" + port + "\n");
    CommandResult r = Rollout({dir_.file("pkg.upg"), camera.Address(), "localhost" + port,
                               "--targets", dir_.file("site.txt")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(camera.Connections(), 1);
    EXPECT_TRUE(Contains(r.output, "qdupk rollout: warning: 0x7f.0.0.1" + port +
                                       " reaches the same camera as " + camera.Address()))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk rollout: warning: 3 repeated targets dropped\n"))
        << r.output;

    WriteFile(dir_.file("empty.txt"), "# the new site: no cameras yet\n");
    r = Rollout({dir_.file("pkg.upg"), "--targets", dir_.file("empty.txt")});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output,
              "qdupk rollout: error: no targets: " + dir_.file("empty.txt") + " lists none\n");
    EXPECT_EQ(camera.Connections(), 1);
}

TEST_F(RolloutCommandTest, ARolledBackCanaryStopsTheRolloutAndARefusalGivesTheCamerasReason) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000, QDUPK_ITEM_ROOTFS));
    const std::string sent = qdupk::ReadPackage(dir_.file("pkg.upg")).identity;
    FakeUploadServer canary(ServerReply::kAck, nullptr, "127.22.3.1");
    FakeUploadServer other(ServerReply::kAck, nullptr, "127.22.3.2");
    const FakeStatusCamera canaryStatus(
        "127.22.3.1",
        BeforeAndAfter(canary, Report("good", kOld, 900), Report("bad", sent.c_str(), 0)));
    const FakeStatusCamera otherStatus("127.22.3.2", [] { return Report("good", kOld, 900); });
    CommandResult r =
        Rollout({dir_.file("pkg.upg"), canary.Address(), other.Address(), "--canary", "1",
                 "--wait-return", "30", "--json", "--report", dir_.file("r.csv")});
    EXPECT_EQ(r.status, qdupk::kExitCanaryStop) << r.output;
    // What each camera ran before, then its verdict.
    EXPECT_TRUE(Contains(r.output, "{\"address\": \"" + canary.Address() +
                                       "\", \"answered\": true, \"counter\": null"))
        << r.output;
    EXPECT_TRUE(Contains(r.output,
                         "\"confirmed\": false, \"event\": \"result\", \"reason\": "
                         "\"rolled back: the camera reports \\\"bad\\\" for this "
                         "package\", \"result\": \"rolled-back\""))
        << r.output;
    EXPECT_TRUE(Contains(ReadFile(dir_.file("r.csv")), "\n" + other.Address() + ",not-started,"));
    EXPECT_EQ(other.Connections(), 0);

    FakeUploadServer refusing(ServerReply::kClose, nullptr, "127.22.3.3");
    FakeUploadServer refusedOther(ServerReply::kClose, nullptr, "127.22.3.4");
    qd::StatusReport why = Report("good", kOld, 900);
    (void)qd::CopyText(why.lastIdentity, sent.c_str());
    (void)qd::CopyText(why.lastText, "rollback: counter 99 is lower than 100");
    const FakeStatusCamera refusingStatus("127.22.3.3", [why] { return why; });
    const FakeStatusCamera otherReason("127.22.3.4", [] { return Report("good", kOld, 900); });
    r = Rollout({dir_.file("pkg.upg"), refusing.Address(), refusedOther.Address()});
    EXPECT_EQ(r.status, qdupk::kExitSomeFailed) << r.output;
    EXPECT_TRUE(Contains(r.output, "refused " + refusing.Address() +
                                       ": the camera refused the package: rollback: counter 99 "
                                       "is lower than 100 ("))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "refused " + refusedOther.Address() +
                                       ": closed the connection without acknowledgement"))
        << r.output;
}

// upload is a rollout of one: the keys are checked before anything is
// sent, and a refusing camera is asked why.
TEST_F(RolloutCommandTest, UploadChecksKeysFirstAndAsksARefusingCameraWhy) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000));
    const std::string sent = qdupk::ReadPackage(dir_.file("pkg.upg")).identity;
    FakeUploadServer refusing(ServerReply::kClose, nullptr, "127.22.3.5");
    qd::StatusReport why = Report("good", kOld, 900);
    (void)qd::CopyText(why.lastIdentity, sent.c_str());
    (void)qd::CopyText(why.lastText, "rollback: counter 99 is lower than 100");
    const FakeStatusCamera status("127.22.3.5", [why] { return why; });
    const auto upload = [](const std::vector<std::string>& args) {
        std::vector<std::string> withCommand = {"upload"};
        withCommand.insert(withCommand.end(), args.begin(), args.end());
        return RunCommand(TargetArgv(QDUPK_EXE, withCommand), Millis(30000));
    };
    ASSERT_EQ(upload({}).status, 2);
    ASSERT_EQ(
        RunCommand(TargetArgv(QDUPK_EXE, {"keygen", dir_.file("site")}), Millis(30000)).status, 0);
    CommandResult r =
        upload({refusing.Address(), dir_.file("pkg.upg"), "--pubkey", dir_.file("site.pub")});
    EXPECT_EQ(r.status, 1) << r.output;  // unsigned: a camera with that key refuses it
    EXPECT_EQ(refusing.Connections(), 0);

    r = upload({refusing.Address(), dir_.file("pkg.upg"), "--json"});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(Contains(r.output,
                         "\"reason\": \"the camera refused the package: rollback: "
                         "counter 99 is lower than 100"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "\"result\": \"refused\", \"seconds\": ")) << r.output;
    EXPECT_TRUE(Contains(r.output, "\"target\": \"" + refusing.Address() + "\"}")) << r.output;
    EXPECT_GT(status.Queries(), 0);
}

TEST_F(RolloutCommandTest, OnlyAGivenRetriesPushesAgainToACameraBackInRecovery) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000, QDUPK_ITEM_KERNEL));
    const std::string sent = qdupk::ReadPackage(dir_.file("pkg.upg")).identity;
    const qd::StatusReport old = Report("good", kOld, 900);
    FakeUploadServer left(ServerReply::kAck, nullptr, "127.22.4.3");
    const FakeStatusCamera leftStatus("127.22.4.3", ByUploads(left, {old, InRecovery("failed")}));
    CommandResult r = Rollout({dir_.file("pkg.upg"), left.Address(), "--wait-return", "30"});
    EXPECT_EQ(r.status, qdupk::kExitSomeFailed) << r.output;
    EXPECT_TRUE(Contains(r.output, "recovery " + left.Address() +
                                       ": restarted into its recovery system (state failed) ("))
        << r.output;
    EXPECT_EQ(left.Received().size(), 1U);

    FakeUploadServer healed(ServerReply::kAck, nullptr, "127.22.4.4");
    const FakeStatusCamera healedStatus(
        "127.22.4.4",
        ByUploads(healed, {old, InRecovery("failed"), Report("good", sent.c_str(), 0)}));
    r = Rollout({dir_.file("pkg.upg"), healed.Address(), "--wait-return", "30", "--retries", "1",
                 "--json", "--report", dir_.file("r.csv")});
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string story =
        "came back in recovery (state failed) after attempt 1; pushed again (attempt 2 of 2)";
    EXPECT_TRUE(Contains(r.output, "\"event\": \"retry\", \"pause\": 2.0, \"reason\": \"" + story +
                                       "\", \"result\": \"recovery\"}"))
        << r.output;
    EXPECT_TRUE(Contains(ReadFile(dir_.file("r.csv")), "\n" + healed.Address() + ",ok,\"" + story +
                                                           "; confirmed: runs fleet 2.0 (" + sent +
                                                           "), good\","))
        << ReadFile(dir_.file("r.csv"));
    EXPECT_EQ(healed.Received().size(), 2U);
}

TEST_F(RolloutCommandTest, MalformedCommandLinesAreUsageErrors) {
    WriteFile(dir_.file("pkg.upg"), MakePackage(10));
    const std::string pkg = dir_.file("pkg.upg");
    const std::vector<std::vector<std::string>> cases = {
        {pkg},
        {pkg, "127.0.0.1"},
        {pkg, "127.0.0.1:80", "--parallel", "0"},
        {pkg, "127.0.0.1:80", "--report", dir_.file("r.txt")},
        {pkg, "127.0.0.1:80", "--wait-return", "0"},
    };
    for (const auto& args : cases) {
        const CommandResult r = Rollout(args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_TRUE(Contains(r.output, "see 'qdupk rollout --help'")) << r.output;
    }
    const CommandResult help = Rollout({"--help"});
    EXPECT_TRUE(Contains(help.output, "4 stopped at the canary; 5 stopped at the\nfailure limit"))
        << help.output;
}

// A killed job (SIGTERM) or a dropped session (SIGHUP) is a Ctrl-C: the
// results so far are on disk while it runs, and the report at the end.
TEST_F(RolloutCommandTest, StopSignalsEndTheRolloutWithItsReport) {
    FakeUploadServer ok(ServerReply::kAck);
    FakeUploadServer hanging(ServerReply::kSilent);
    FakeUploadServer later(ServerReply::kAck);
    WriteFile(dir_.file("pkg.upg"), MakePackage(5000));
    const std::string report = dir_.file("site.csv");
    ChildProcess rollout;
    rollout.Start(
        TargetArgv(QDUPK_EXE, {"rollout", dir_.file("pkg.upg"), ok.Address(), hanging.Address(),
                               later.Address(), "-j", "1", "--timeout", "60", "--report", report}));
    ASSERT_TRUE(PollUntil(Millis(10000), [&] { return hanging.Connections() == 1; }));
    EXPECT_TRUE(Contains(ReadFile(report + ".partial"), "\n" + ok.Address() + ",ok,"));
    ASSERT_EQ(kill(rollout.pid(), SIGTERM), 0);
    ASSERT_EQ(kill(rollout.pid(), SIGHUP), 0);  // the second: the hanging upload is aborted
    EXPECT_EQ(rollout.Wait(Millis(10000)), qdupk::kExitInterrupted);
    const std::string csv = ReadFile(report);
    EXPECT_TRUE(Contains(csv, "\n" + hanging.Address() + ",aborted,")) << csv;
    EXPECT_TRUE(Contains(csv, "\n" + later.Address() + ",not-started,")) << csv;
    EXPECT_FALSE(FileExists(report + ".partial"));
    EXPECT_EQ(later.Connections(), 0);
}

}  // namespace
}  // namespace qdtest
