// Which status queries are answered and how often, without sockets or
// clocks: the judgement is fed sizes, addresses and times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "camera_status.h"
#include "qd_status.h"
#include "status_responder.h"

namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a << 24U | b << 16U | c << 8U | d;
}

const EthSubnet kEth = {Ip(192, 168, 7, 20), Ip(255, 255, 255, 0)};

std::vector<unsigned char> Query(std::size_t size = qd::kStatusQueryMinSize,
                                 std::uint32_t nonce = 0x01020304) {
    std::vector<unsigned char> query(size, 0);
    qd::StoreLe32(query.data(), qd::kStatusQueryMagic);
    qd::StoreLe32(query.data() + qd::kStatusNonceOffset, nonce);
    return query;
}

DatagramOrigin From(std::uint32_t sender, std::uint32_t destination = kEth.address,
                    std::uint16_t port = 40000) {
    return DatagramOrigin{sender, port, destination, true};
}

bool Answerable(const std::vector<unsigned char>& query, const DatagramOrigin& origin,
                const EthSubnet& eth = kEth) {
    return StatusQueryAnswerable(query.data(), query.size(), origin, eth);
}

TEST(StatusJudgement, OnlyAUnicastQueryFromAHostOfTheSubnetIsAnswered) {
    const std::uint32_t pc = Ip(192, 168, 7, 99);
    EXPECT_TRUE(Answerable(Query(), From(pc)));
    EXPECT_TRUE(Answerable(Query(qd::kStatusQueryMaxSize), From(pc)));
    // To the group or a broadcast address every camera would answer.
    EXPECT_FALSE(Answerable(Query(), From(pc, Ip(234, 200, 200, 1))));
    EXPECT_FALSE(Answerable(Query(), From(pc, Ip(192, 168, 7, 255))));
    EXPECT_FALSE(Answerable(Query(), From(pc, Ip(255, 255, 255, 255))));
    DatagramOrigin unknown = From(pc);
    unknown.destinationKnown = false;
    EXPECT_FALSE(Answerable(Query(), unknown));
    // Sizes: a reply never larger than its query, and at most 1 KiB.
    EXPECT_FALSE(Answerable(Query(qd::kStatusQueryMinSize - 1), From(pc)));
    EXPECT_FALSE(Answerable(Query(qd::kStatusQueryMaxSize + 1), From(pc)));
    // Senders a reply must never go to.
    EXPECT_FALSE(Answerable(Query(), From(Ip(192, 168, 8, 99))));
    EXPECT_FALSE(Answerable(Query(), From(Ip(10, 0, 0, 1))));
    EXPECT_FALSE(Answerable(Query(), From(kEth.address)));
    EXPECT_FALSE(Answerable(Query(), From(Ip(192, 168, 7, 0))));
    EXPECT_FALSE(Answerable(Query(), From(Ip(192, 168, 7, 255))));
    EXPECT_FALSE(Answerable(Query(), From(pc, kEth.address, 0)));
    // Not a query: the reply's magic, a search's, bytes swapped.
    std::vector<unsigned char> other = Query();
    qd::StoreLe32(other.data(), qd::kStatusReplyMagic);
    EXPECT_FALSE(Answerable(other, From(pc)));
    qd::StoreLe32(other.data(), 0x12564387);
    EXPECT_FALSE(Answerable(other, From(pc)));
    other[0] = 0x12;
    other[3] = 0x53;
    EXPECT_FALSE(Answerable(other, From(pc)));
    // Without an address of its own the camera answers nobody.
    EXPECT_FALSE(Answerable(Query(), From(pc, 0), EthSubnet{0, 0}));
}

TEST(StatusJudgement, SmallSubnetsKeepTheirOtherHost) {
    const EthSubnet pointToPoint = {Ip(10, 0, 0, 0), Ip(255, 255, 255, 254)};
    EXPECT_TRUE(Answerable(Query(), From(Ip(10, 0, 0, 1), pointToPoint.address), pointToPoint));
    const EthSubnet single = {Ip(10, 0, 0, 5), Ip(255, 255, 255, 255)};
    EXPECT_FALSE(Answerable(Query(), From(Ip(10, 0, 0, 6), single.address), single));
}

// No more than the limit in any window that ends at some reply.
void ExpectWithinLimit(const std::vector<long long>& replies) {
    std::deque<long long> window;
    for (const long long at : replies) {
        window.push_back(at);
        while (at - window.front() >= kStatusWindowMs) {
            window.pop_front();
        }
        ASSERT_LE(window.size(), kStatusRepliesPerWindow) << "at " << at << " ms";
    }
}

TEST(StatusRateLimit, NeverMoreThanTenInAnySecond) {
    StatusRateLimit limit;
    std::vector<long long> replies;
    // A burst, a steady flood every 7 ms, then a quiet stretch and bursts
    // straddling window edges.
    std::vector<long long> asks(25, 1000);
    for (long long t = 1001; t < 5000; t += 7) {
        asks.push_back(t);
    }
    for (const long long t : {9000LL, 9999LL, 10000LL, 10998LL, 10999LL, 11000LL}) {
        asks.insert(asks.end(), 6, t);
    }
    for (const long long t : asks) {
        if (limit.Allow(t)) {
            replies.push_back(t);
        }
    }
    ExpectWithinLimit(replies);
    EXPECT_LE(replies.size(), asks.size());
    // The limit holds back no more than it must: ten a second get through.
    EXPECT_EQ(std::count(replies.begin(), replies.end(), 1000LL), 10);
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(),
                            [](long long t) { return t >= 2000 && t < 5000; }),
              30);
}

TEST(StatusRateLimit, AQuietCameraAnswersEveryQuery) {
    StatusRateLimit limit;
    for (long long t = 0; t < 20000; t += 100) {
        EXPECT_TRUE(limit.Allow(t)) << t;
    }
}

CameraStatus SomeStatus() {
    QDBOOT_CFG_T cfg{};
    static_cast<void>(std::strcpy(cfg.szDeviceName, "DOME-1"));  // NOLINT: fits
    return StartCameraStatus("9.9.9", cfg, StatusConfig{}, 0);
}

// Queries of every kind: only answerable ones within the limit get a
// reply, which is never larger than the query and carries its nonce.
TEST(StatusReplyPlan, NQueriesGiveAtMostNRepliesNoneLargerThanItsQuery) {
    const CameraStatus status = SomeStatus();
    StatusRateLimit limit;
    const std::uint32_t pc = Ip(192, 168, 7, 99);
    struct Ask {
        std::vector<unsigned char> query;
        DatagramOrigin origin;
    };
    const std::vector<Ask> kinds = {
        {Query(512, 7), From(pc)},
        {Query(1024, 8), From(pc)},
        {Query(512, 9), From(pc, Ip(234, 200, 200, 1))},
        {Query(100, 10), From(pc)},
        {Query(512, 11), From(Ip(172, 16, 0, 1))},
    };
    std::vector<long long> replies;
    std::size_t asked = 0;
    for (long long t = 0; t < 3000; t += 20) {
        const Ask& ask = kinds[asked++ % kinds.size()];
        unsigned char reply[qd::kStatusReplySize];
        const std::size_t size = PlanStatusReply(ask.query.data(), ask.query.size(), ask.origin,
                                                 kEth, limit, status, t, reply);
        if (size == 0) {
            continue;
        }
        ASSERT_LE(size, ask.query.size());
        ASSERT_TRUE(Answerable(ask.query, ask.origin));
        qd::StatusReport report;
        std::uint32_t nonce = 0;
        ASSERT_TRUE(qd::DecodeStatusReply(reply, size, &report, &nonce));
        EXPECT_EQ(nonce, qd::LoadLe32(ask.query.data() + 4));
        EXPECT_STREQ(report.version, "9.9.9");
        replies.push_back(t);
    }
    EXPECT_LE(replies.size(), asked);
    ExpectWithinLimit(replies);
    EXPECT_EQ(replies.size(), 30U);  // 2 in 5 answerable, 150 asked in 3 s, 10 a second
}

}  // namespace
