// The status client and `qdupk status` against stand-in cameras on
// loopback addresses of this file's own (127.22.1.x): answers matched by
// address and nonce, silence, strays ignored, a lost query asked again,
// and what the command prints of it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "child_process.h"
#include "fake_status_camera.h"
#include "qd_text.h"
#include "status_client.h"
#include "status_view.h"
#include "target_exec.h"

namespace qdtest {
namespace {

using qdupk::Millis;

TEST(StatusClient, EachCameraGetsItsOwnAnswerAndStraysCountAsSilence) {
    const FakeStatusCamera good("127.22.1.1", [] { return Report("good", "00112233aabbccdd", 7); });
    const FakeStatusCamera silent("127.22.1.2", [] { return std::nullopt; });
    StatusMisbehaviour wrongNonce;
    wrongNonce.wrongNonce = true;
    const FakeStatusCamera forged(
        "127.22.1.3", [] { return Report("good", "", 1); }, wrongNonce);
    StatusMisbehaviour elsewhere;
    elsewhere.replyFrom = "127.22.1.9";
    const FakeStatusCamera moved(
        "127.22.1.4", [] { return Report("good", "", 1); }, elsewhere);
    std::atomic<int> asked{0};
    // Loses the first query, as a busy link might.
    const FakeStatusCamera lossy("127.22.1.5", [&asked]() -> std::optional<qd::StatusReport> {
        if (++asked == 1) {
            return std::nullopt;
        }
        return Report("trial", "", 3);
    });

    qdupk::StatusClient client;
    const auto reports = qdupk::AskEach(
        client, {"127.22.1.1", "127.22.1.2", "127.22.1.3", "127.22.1.4", "127.22.1.5", ""},
        Millis(900));

    ASSERT_EQ(reports.size(), 6U);
    ASSERT_TRUE(reports[0]);
    EXPECT_STREQ(reports[0]->state, "good");
    EXPECT_STREQ(reports[0]->identity, "00112233aabbccdd");
    EXPECT_EQ(reports[0]->uptime, 7U);
    EXPECT_FALSE(reports[1]);
    EXPECT_FALSE(reports[2]);
    EXPECT_FALSE(reports[3]);
    ASSERT_TRUE(reports[4]);
    EXPECT_STREQ(reports[4]->state, "trial");
    EXPECT_FALSE(reports[5]);
    // One query for the camera that answered at once, three for the silent one.
    EXPECT_EQ(good.Queries(), 1);
    EXPECT_EQ(silent.Queries(), 3);
    EXPECT_EQ(lossy.Queries(), 2);
}

// search --status: the search's columns and fields, with version and state
// added; a camera without status says so instead.
TEST(StatusView, SearchWithStatusAddsVersionAndState) {
    const std::vector<qdupk::CameraReply> cameras = {{"10.0.0.2", 8080, "10.0.0.2"},
                                                     {"10.0.0.3", 80, "192.168.5.163"}};
    const std::vector<std::optional<qd::StatusReport>> reports = {Report("good", "", 1),
                                                                  std::nullopt};
    EXPECT_EQ(qdupk::FormatSearchStatusTable(cameras, reports),
              "ADDRESS   PORT  VERSION  STATE                     ANNOUNCED\n"
              "10.0.0.2  8080  9.9.9    good                      10.0.0.2\n"
              "10.0.0.3  80    -        no status (older camera)  192.168.5.163\n");
    EXPECT_EQ(qdupk::FormatSearchStatusJson(cameras, reports),
              "[{\"address\": \"10.0.0.2\", \"announced\": \"10.0.0.2\", \"port\": 8080, "
              "\"source\": \"10.0.0.2\", \"state\": \"good\", \"version\": \"9.9.9\"}, "
              "{\"address\": \"10.0.0.3\", \"announced\": \"192.168.5.163\", \"port\": 80, "
              "\"source\": \"10.0.0.3\", \"state\": null, \"version\": null}]\n");
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

CommandResult Status(const std::vector<std::string>& args) {
    std::vector<std::string> withCommand = {"status"};
    withCommand.insert(withCommand.end(), args.begin(), args.end());
    return RunCommand(TargetArgv(QDUPK_EXE, withCommand), Millis(30000));
}

TEST(StatusCommand, OneLinePerCameraTextsMadeSafeAndSilenceHasItsExitStatus) {
    qd::StatusReport full = Report("good", "00112233aabbccdd", 93784);  // 1d 2:03:04
    full.counterKnown = true;
    full.counter = 2025061;
    (void)qd::CopyText(full.version, "1.4\x1b[2J");
    qd::StatusReport basic = Report("trial", "", 5);
    basic.full = false;
    basic.recovery = true;
    const FakeStatusCamera a("127.22.1.11", [full] { return full; });
    const FakeStatusCamera b("127.22.1.12", [basic] { return basic; });
    const FakeStatusCamera silent("127.22.1.13", [] { return std::nullopt; });

    CommandResult r = Status({"127.22.1.11:8080", "127.22.1.12", "--timeout", "0.5"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "ADDRESS      VERSION     STATE             SLOT  PACKAGE"))
        << r.output;
    EXPECT_TRUE(Contains(r.output,
                         "127.22.1.11  1.4\\x1b[2J  good              a     fleet 2.0 "
                         "(00112233aabbccdd)  2025061  1d 2:03:04  installed\n"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "127.22.1.12  9.9.9       trial (recovery)  a     -"))
        << r.output;

    r = Status({"127.22.1.11", "127.22.1.13", "--json", "--timeout", "0.5"});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(Contains(r.output,
                         "\"address\": \"127.22.1.13\", \"answered\": false, "
                         "\"missing\": \"did not answer\"}"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "\"counter\": 2025061, \"detail\": \"full\"")) << r.output;
    EXPECT_EQ(silent.Queries(), 3);

    r = Status({"127.22.1.11:0"});
    EXPECT_EQ(r.status, 2) << r.output;
    r = Status({});
    EXPECT_EQ(r.status, 2) << r.output;
}

}  // namespace
}  // namespace qdtest
