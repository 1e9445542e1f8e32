// The status client against stand-in cameras on loopback addresses of
// this test's own (127.22.1.x): answers matched by address and nonce,
// silence, strays ignored, a lost query asked again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "fake_status_camera.h"
#include "status_client.h"

namespace qdtest {
namespace {

using qdupk::Millis;

TEST(StatusClient, EachCameraGetsItsOwnAnswerAndStraysCountAsSilence) {
    const FakeStatusCamera good("127.22.1.1", [] { return Report("good", "00112233aabbccdd", 7); });
    const FakeStatusCamera silent("127.22.1.2", [] { return std::nullopt; });
    StatusMisbehaviour wrongNonce;
    wrongNonce.wrongNonce = true;
    const FakeStatusCamera forged("127.22.1.3", [] { return Report("good", "", 1); }, wrongNonce);
    StatusMisbehaviour elsewhere;
    elsewhere.replyFrom = "127.22.1.9";
    const FakeStatusCamera moved("127.22.1.4", [] { return Report("good", "", 1); }, elsewhere);
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

}  // namespace
}  // namespace qdtest
