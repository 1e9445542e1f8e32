#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qd_status.h"

namespace {

qd::StatusReport FullReport() {
    qd::StatusReport r;
    r.full = true;
    r.recovery = true;
    r.counterKnown = true;
    r.uptime = 0x01020304;
    std::strcpy(r.version, "1.4.0");
    std::strcpy(r.device, "dome-7");
    std::strcpy(r.state, "good");
    std::strcpy(r.slot, "b");
    r.counter = 0x0000000500000064ULL;
    r.lastResult = qd::kStatusRollback;
    std::strcpy(r.lastIdentity, "0123456789abcdef");
    std::strcpy(r.name, "cam-fw");
    std::strcpy(r.pkgVersion, "2.0");
    std::strcpy(r.identity, "fedcba9876543210");
    std::strcpy(r.lastText, "rollback: counter 99 is lower than 100");
    return r;
}

std::vector<unsigned char> Bytes(const unsigned char* p, std::size_t n) {
    return std::vector<unsigned char>(p, p + n);
}

}  // namespace

TEST(StatusWire, QueryAndReplyBytesAreTheDocumentedOnes) {
    unsigned char query[qd::kStatusQueryMinSize];
    qd::EncodeStatusQuery(0xA1B2C3D4, query);
    EXPECT_EQ(Bytes(query, 8),
              (std::vector<unsigned char>{0x53, 0x51, 0x56, 0x12, 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(sizeof query, 512U);
    EXPECT_TRUE(qd::IsStatusQuery(query, sizeof query));
    EXPECT_FALSE(qd::IsStatusQuery(query, sizeof query - 1));
    EXPECT_TRUE(qd::IsStatusQuery(query, 1024));
    EXPECT_FALSE(qd::IsStatusQuery(query, 1025));

    unsigned char reply[qd::kStatusReplySize];
    qd::EncodeStatusReply(FullReport(), 0xA1B2C3D4, reply);
    EXPECT_EQ(Bytes(reply, 16),
              (std::vector<unsigned char>{0x53, 0x52, 0x56, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0x01,
                                          0x00, 0x01, 0x03, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(std::memcmp(reply + 16, "1.4.0\0", 6), 0);
    EXPECT_EQ(std::memcmp(reply + 48, "dome-7\0", 7), 0);
    EXPECT_EQ(std::memcmp(reply + 112, "good\0", 5), 0);
    EXPECT_EQ(std::memcmp(reply + 128, "b\0", 2), 0);
    EXPECT_EQ(Bytes(reply + 132, 12),
              (std::vector<unsigned char>{0x64, 0, 0, 0, 0x05, 0, 0, 0, 23, 0, 0, 0}));
    EXPECT_EQ(std::memcmp(reply + 144, "0123456789abcdef\0", 17), 0);
    EXPECT_EQ(std::memcmp(reply + 164, "cam-fw\0", 7), 0);
    EXPECT_EQ(std::memcmp(reply + 228, "2.0\0", 4), 0);
    EXPECT_EQ(std::memcmp(reply + 292, "fedcba9876543210\0", 17), 0);
    EXPECT_EQ(std::memcmp(reply + 312, "rollback: counter 99", 20), 0);
    EXPECT_EQ(Bytes(reply + 440, 72), std::vector<unsigned char>(72, 0));
}

TEST(StatusWire, ABasicReplyCarriesNothingOfTheFullFields) {
    qd::StatusReport r = FullReport();
    r.full = false;
    unsigned char reply[qd::kStatusReplySize];
    qd::EncodeStatusReply(r, 7, reply);
    EXPECT_EQ(reply[10], 0);
    EXPECT_EQ(reply[11], qd::kStatusFlagRecovery);
    EXPECT_EQ(Bytes(reply + 132, 440 - 132), std::vector<unsigned char>(440 - 132, 0));
    EXPECT_EQ(std::memcmp(reply + 112, "good\0", 5), 0);
}

TEST(StatusWire, DecodingTakesBackWhatWasEncodedAndRefusesForeignPackets) {
    unsigned char reply[qd::kStatusReplySize];
    qd::EncodeStatusReply(FullReport(), 99, reply);
    qd::StatusReport got;
    std::uint32_t nonce = 0;
    ASSERT_TRUE(qd::DecodeStatusReply(reply, sizeof reply, &got, &nonce));
    EXPECT_EQ(nonce, 99U);
    EXPECT_TRUE(got.full && got.recovery && got.counterKnown);
    EXPECT_EQ(got.counter, 0x0000000500000064ULL);
    EXPECT_EQ(got.lastResult, qd::kStatusRollback);
    EXPECT_STREQ(got.lastText, "rollback: counter 99 is lower than 100");
    EXPECT_STREQ(got.identity, "fedcba9876543210");

    EXPECT_FALSE(qd::DecodeStatusReply(reply, qd::kStatusUsedSize - 1, &got, &nonce));
    unsigned char query[qd::kStatusQueryMinSize];
    qd::EncodeStatusQuery(99, query);
    EXPECT_FALSE(qd::DecodeStatusReply(query, sizeof query, &got, &nonce));
    EXPECT_FALSE(qd::IsStatusQuery(reply, sizeof reply));

    // A field filled to its end has no terminator on the wire, and gets one.
    std::memset(reply + qd::kStatusDeviceOffset, 'x', qd::kStatusDeviceSize);
    ASSERT_TRUE(qd::DecodeStatusReply(reply, sizeof reply, &got, &nonce));
    EXPECT_EQ(std::strlen(got.device), qd::kStatusDeviceSize);
}
