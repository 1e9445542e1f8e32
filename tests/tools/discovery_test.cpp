// Reading camera answers to a search, without sockets: which datagrams
// count, what is taken from them, and the list that search prints.
#include "discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qdupk {
namespace {

constexpr std::uint32_t kNonce = 0xA1B2C3D4;

// An answer as a camera builds it: the search sent back with its port and
// address filled in.
SearchPacket Answer(const char* address, std::uint32_t port) {
    SearchPacket packet = BuildSearch(kNonce);
    packet[qd::kSearchPortOffset] = static_cast<unsigned char>(port);
    packet[qd::kSearchPortOffset + 1] = static_cast<unsigned char>(port >> 8);
    packet[qd::kSearchPortOffset + 2] = static_cast<unsigned char>(port >> 16);
    packet[qd::kSearchPortOffset + 3] = static_cast<unsigned char>(port >> 24);
    std::memcpy(packet.data() + qd::kSearchAddressOffset, address, std::strlen(address) + 1);
    return packet;
}

std::optional<CameraReply> Parse(const SearchPacket& packet,
                                 std::size_t size = qd::kSearchPacketSize) {
    return ParseReply(packet.data(), size, kNonce, "10.0.0.9");
}

TEST(Discovery, SearchCarriesMagicAndNonceLittleEndianAndZerosElsewhere) {
    const SearchPacket packet = BuildSearch(0x01020304);
    EXPECT_EQ(packet.size(), 76U);
    const unsigned char head[] = {0x87, 0x43, 0x56, 0x12, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(packet.data(), head, sizeof head), 0);
    for (std::size_t i = sizeof head; i < packet.size(); ++i) {
        EXPECT_EQ(packet[i], 0) << "byte " << i;
    }
}

TEST(Discovery, AnswerGivesSourceAddressPortAndAnnouncedText) {
    SearchPacket packet = Answer("192.168.5.163", 8080);
    // What follows the address text's terminator is not the camera's concern.
    packet[40] = 'x';
    packet[75] = 0xFF;
    const std::optional<CameraReply> reply = Parse(packet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->address, "10.0.0.9");
    EXPECT_EQ(reply->port, 8080);
    EXPECT_EQ(reply->announced, "192.168.5.163");
    // Longest address text: 15 characters and the terminator in byte 27.
    EXPECT_TRUE(Parse(Answer("255.255.255.255", 1)));
}

TEST(Discovery, MalformedOrForeignDatagramsAreIgnored) {
    const SearchPacket good = Answer("10.1.2.3", 8080);
    EXPECT_FALSE(Parse(good, 75)) << "short";
    EXPECT_FALSE(Parse(good, 77)) << "long (cut by the receive)";

    SearchPacket bigEndianMagic = good;
    std::memcpy(bigEndianMagic.data(), "\x12\x56\x43\x87", 4);
    EXPECT_FALSE(Parse(bigEndianMagic));

    SearchPacket otherSearch = good;
    otherSearch[qd::kSearchNonceOffset] ^= 1;
    EXPECT_FALSE(Parse(otherSearch)) << "answer to another tool's search";

    SearchPacket unterminated = good;
    std::memset(unterminated.data() + qd::kSearchAddressOffset, '1', qd::kSearchAddressSize);
    EXPECT_FALSE(Parse(unterminated));
    SearchPacket terminatedLate = Answer("10.1.2.3", 8080);
    std::memcpy(terminatedLate.data() + qd::kSearchAddressOffset, "010.001.002.0003", 17);
    EXPECT_FALSE(Parse(terminatedLate)) << "terminator beyond the 16 address bytes";

    for (const char* text : {"", "camera", "10.1.2", "10.1.2.300", "10.1.2.3 "}) {
        EXPECT_FALSE(Parse(Answer(text, 8080))) << '"' << text << '"';
    }
    EXPECT_FALSE(Parse(Answer("10.1.2.3", 0)));
    EXPECT_FALSE(Parse(Answer("10.1.2.3", 65536)));
    EXPECT_TRUE(Parse(Answer("10.1.2.3", 65535)));
}

TEST(Discovery, ListKeepsEachCameraOnceInOrderOfFirstAnswer) {
    CameraList list;
    EXPECT_TRUE(list.Add({"10.0.0.2", 8080, "10.0.0.2"}));
    EXPECT_TRUE(list.Add({"10.0.0.1", 8080, "10.0.0.1"}));
    EXPECT_FALSE(list.Add({"10.0.0.2", 8080, "10.0.0.2"}));
    EXPECT_TRUE(list.Add({"10.0.0.2", 9000, "10.0.0.2"}));
    // Two cameras without an address both announce the fallback address;
    // where the answers came from tells them apart.
    EXPECT_TRUE(list.Add({"10.0.0.7", 8080, "192.168.5.163"}));
    EXPECT_TRUE(list.Add({"10.0.0.8", 8080, "192.168.5.163"}));
    // Whatever else one camera announces, it is still that camera.
    EXPECT_FALSE(list.Add({"10.0.0.7", 8080, "10.0.0.1"}));
    ASSERT_EQ(list.cameras().size(), 5U);
    EXPECT_EQ(list.cameras()[0].address, "10.0.0.2");
    EXPECT_EQ(list.cameras()[1].address, "10.0.0.1");
    EXPECT_EQ(list.dropped(), 0U);
}

// Text order would put 10.0.0.10 before 10.0.0.9 and 9.x after 10.x.
TEST(Discovery, CamerasAreListedByAddressNumericallyThenPort) {
    std::vector<std::string> order;
    for (const CameraReply& camera : ByAddress({{"10.0.0.10", 80, "10.0.0.10"},
                                                {"10.0.0.9", 9000, "10.0.0.9"},
                                                {"192.168.1.1", 80, "192.168.1.1"},
                                                {"9.255.255.255", 80, "9.255.255.255"},
                                                {"10.0.0.9", 80, "10.0.0.9"}})) {
        order.push_back(camera.address + ":" + std::to_string(camera.port));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"9.255.255.255:80", "10.0.0.9:80", "10.0.0.9:9000",
                                               "10.0.0.10:80", "192.168.1.1:80"}));
}

TEST(Discovery, AFullListDropsFurtherCamerasAndCountsTheirAnswers) {
    SearchResult result{CameraList(2), {}};
    EXPECT_TRUE(SearchWarnings(result).empty());
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.1", "10.0.0.4"}) {
        (void)result.cameras.Add({address, 80, address});
    }
    ASSERT_EQ(result.cameras.cameras().size(), 2U);
    EXPECT_EQ(result.cameras.cameras()[1].address, "10.0.0.2");
    EXPECT_EQ(result.cameras.dropped(), 2U) << "a listed camera's repeat is not dropped";
    EXPECT_EQ(SearchWarnings(result),
              std::vector<std::string>{
                  "kept only the first 2 cameras; 2 more answers dropped (see --max-answers)"});
}

std::uint32_t Raw(const char* address) {
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, address, &parsed), 1) << address;
    return parsed.s_addr;
}

// Where no camera can be: an upload there reaches this PC's own services,
// every host on a network, or nothing.
TEST(Discovery, AnswersFromSpecialOrOwnAddressesAreNoCameras) {
    const HostAddresses host{{Raw("127.0.0.1"), Raw("10.213.7.2")}, {Raw("10.213.7.255")}};
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1", "loopback"},        {"127.4.5.6", "loopback"},
        {"0.0.0.0", "unspecified"},       {"0.1.2.3", "unspecified"},
        {"255.255.255.255", "broadcast"}, {"10.213.7.255", "broadcast"},
        {"224.0.0.1", "multicast"},       {"234.200.200.1", "multicast"},
        {"239.255.255.255", "multicast"}, {"10.213.7.2", "an address of this PC"},
    };
    for (const auto& [source, why] : cases) {
        const char* problem = SourceProblem(source, host);
        ASSERT_NE(problem, nullptr) << source;
        EXPECT_STREQ(problem, why) << source;
    }
    for (const char* camera :
         {"10.213.7.1", "10.213.7.254", "192.168.5.163", "223.255.255.254", "1.0.0.0"}) {
        EXPECT_EQ(SourceProblem(camera, host), nullptr) << camera;
    }

    SearchResult result;
    for (const char* source : {"127.0.0.1", "127.0.0.1", "10.213.7.2", "0.0.0.0", "224.0.0.1",
                               "255.255.255.255", "10.213.7.255"}) {
        result.ignored.Add(source, SourceProblem(source, host));
    }
    EXPECT_EQ(SearchWarnings(result),
              std::vector<std::string>{
                  "ignored 7 answers from addresses no camera answers from, among them "
                  "127.0.0.1 (loopback), 10.213.7.2 (an address of this PC), 0.0.0.0 "
                  "(unspecified), 224.0.0.1 (multicast)"});
}

TEST(Discovery, TableAndJsonListEveryCamera) {
    const std::vector<CameraReply> plain = {{"10.0.0.2", 8080, "10.0.0.2"},
                                            {"10.0.0.10", 80, "10.0.0.10"}};
    EXPECT_EQ(FormatTable(plain),
              "ADDRESS           PORT\n"
              "10.0.0.2          8080\n"
              "10.0.0.10           80\n");
    const std::vector<CameraReply> fallback = {{"10.0.0.2", 8080, "10.0.0.2"},
                                               {"10.0.0.7", 8080, "192.168.5.163"}};
    EXPECT_EQ(FormatTable(fallback),
              "ADDRESS           PORT  ANNOUNCED\n"
              "10.0.0.2          8080  10.0.0.2\n"
              "10.0.0.7          8080  192.168.5.163\n");
    EXPECT_EQ(FormatJson(fallback),
              "[{\"address\": \"10.0.0.2\", \"announced\": \"10.0.0.2\", \"port\": 8080, "
              "\"source\": \"10.0.0.2\"}, "
              "{\"address\": \"10.0.0.7\", \"announced\": \"192.168.5.163\", \"port\": 8080, "
              "\"source\": \"10.0.0.7\"}]\n");
    EXPECT_EQ(FormatJson({}), "[]\n");
}

// Whatever a reply carried, the JSON stays valid: control characters are
// escaped and bytes that are not UTF-8 are replaced instead of ending the
// output with an exception.
TEST(Discovery, JsonEscapesWhatItCannotCarryRaw) {
    EXPECT_EQ(FormatJson({{"a\x1b[2J\"\\", 1, "\xff\n"}}),
              "[{\"address\": \"a\\u001b[2J\\\"\\\\\", \"announced\": \"\xef\xbf\xbd\\n\", "
              "\"port\": 1, \"source\": \"a\\u001b[2J\\\"\\\\\"}]\n");
}

}  // namespace
}  // namespace qdupk
