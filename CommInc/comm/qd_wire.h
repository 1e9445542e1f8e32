// What the camera and the upgrade tools say to each other on the network.
// Cameras in the field and tools already shipped speak exactly this, so a
// value here never changes; the daemon, the host tool, the benchmarks and
// the tests all take it from this one place.
//
// Upload, TCP on the camera's configured port. The tool sends an 8-byte
// header, the magic and the package length (a signed word above 0), both
// big-endian, directly followed by the package. The camera acknowledges a
// package it has verified and installed with the magic and a result word 0
// (AA CC DD 03 00 00 00 00); a failed upload is closed without an answer.
//
// Search, UDP multicast. A tool sends a 76-byte search to the group on the
// search port; every camera answers with the same packet, reply fields
// filled in, to the group on the answer port. Words are little-endian:
//    0  magic (87 43 56 12), the same in the answer
//    4  anything, sent back unchanged (tools put a nonce there to tell their
//       own search's answers from those to other tools)
//    8  answer: the TCP upload port, widened to 32 bits
//   12  answer: the camera's IPv4 address as dotted text with its terminator
//       (at most 16 bytes); the bytes after the terminator come back
//       unchanged
#ifndef QD_WIRE_H
#define QD_WIRE_H

#include <cstddef>
#include <cstdint>

namespace qd {

constexpr std::uint32_t kUploadMagic = 0xAACCDD03;
constexpr std::size_t kUploadHeaderSize = 8;
constexpr std::size_t kUploadLengthOffset = 4;
constexpr std::size_t kUploadAckSize = 8;
constexpr std::size_t kUploadResultOffset = 4;
// The camera reads the length as a signed 32-bit word.
constexpr std::uint32_t kMaxUploadLength = 0x7FFFFFFF;
static_assert(kUploadLengthOffset + 4 == kUploadHeaderSize, "magic, then the length");
static_assert(kUploadResultOffset + 4 == kUploadAckSize, "magic, then the result");

constexpr char kSearchGroup[] = "234.200.200.1";
constexpr std::uint16_t kSearchPort = 54362;  // cameras listen here
constexpr std::uint16_t kAnswerPort = 54361;  // and answer to the group here
constexpr std::size_t kSearchPacketSize = 76;
constexpr std::uint32_t kSearchMagic = 0x12564387;
constexpr std::size_t kSearchNonceOffset = 4;
constexpr std::size_t kSearchPortOffset = 8;
constexpr std::size_t kSearchAddressOffset = 12;
// "255.255.255.255" and its terminator.
constexpr std::size_t kSearchAddressSize = 16;
static_assert(kSearchNonceOffset == 4 && kSearchPortOffset == kSearchNonceOffset + 4 &&
                  kSearchAddressOffset == kSearchPortOffset + 4,
              "magic, nonce, port and address follow each other word by word");
static_assert(kSearchAddressOffset + kSearchAddressSize <= kSearchPacketSize,
              "the address text fits in the packet");

}  // namespace qd

#endif  // QD_WIRE_H
