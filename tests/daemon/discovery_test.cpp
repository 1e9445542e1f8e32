// The search packet and its answer, built without sockets.
#include <gtest/gtest.h>

#include <cstring>

#include "discovery.h"
#include "qd_wire.h"

namespace {

TEST(SearchAnswer, CarriesPortAndAddressAndKeepsEverythingElse) {
    unsigned char packet[qd::kSearchPacketSize];
    for (std::size_t i = 0; i < sizeof packet; ++i) {
        packet[i] = static_cast<unsigned char>(0xA0 + i);
    }
    const unsigned char magic[] = {0x87, 0x43, 0x56, 0x12};
    std::memcpy(packet, magic, sizeof magic);
    ASSERT_TRUE(IsSearchPacket(packet));
    unsigned char expected[qd::kSearchPacketSize];
    std::memcpy(expected, packet, sizeof packet);

    FillSearchAnswer(packet, kFallbackAddress, 8080);
    const unsigned char port[] = {0x90, 0x1F, 0x00, 0x00};
    std::memcpy(expected + 8, port, sizeof port);
    std::memcpy(expected + 12, "192.168.5.163", 14);
    EXPECT_EQ(0, std::memcmp(packet, expected, sizeof packet));

    // A shorter address leaves more of the search's bytes in place.
    std::memcpy(packet, expected, sizeof packet);
    FillSearchAnswer(packet, "10.1.2.3", 65535);
    EXPECT_EQ(packet[8], 0xFF);
    EXPECT_EQ(packet[10], 0x00);
    EXPECT_STREQ(reinterpret_cast<const char*>(packet + 12), "10.1.2.3");
    EXPECT_EQ(packet[21], expected[21]);
}

TEST(SearchAnswer, OnlyTheLittleEndianMagicIsASearch) {
    const unsigned char bigEndian[qd::kSearchPacketSize] = {0x12, 0x56, 0x43, 0x87};
    EXPECT_FALSE(IsSearchPacket(bigEndian));
}

}  // namespace
