// What the daemon and the MCU's firmware loader say to each other on the
// dome head's serial line. Loaders in the field answer exactly these bytes,
// so a value here never changes; the daemon and the loader simulator take
// them from this one place.
//
// Reset, 8 bytes: A0, the MCU's address, 00 57 AA 00, AF, then the XOR of
// the seven bytes before it. The loader answers with the reset reply.
//
// Loader frames start with A5 and a request code and end with the XOR of
// every byte before it, then AF:
//   start   A5 F6 AA             sum AF  (5 bytes), answered with the start reply
//   header  A5 F7 blocks size 0A sum AF  (11 bytes; blocks 16-bit and size
//                                        32-bit, both big-endian)
//   block   A5 F8 sequence data  sum AF  (1030 bytes; sequence big-endian from
//                                        1, 1024 data bytes, the last block
//                                        filled with 1A)
//   end     A5 FA 00             sum AF  (5 bytes)
// Replies are 5 bytes, A5 code status sum AF; header, blocks and end are
// answered with the acknowledgement, status 01 accepted and 00 refused, and
// a loader that gives up on a block answers it with the abort.
#ifndef QD_MCU_FRAME_H
#define QD_MCU_FRAME_H

#include <cstddef>
#include <cstdint>

namespace qd {
namespace mcu {

constexpr std::uint8_t kResetStart = 0xA0;
constexpr std::uint8_t kFrameStart = 0xA5;
constexpr std::uint8_t kFrameEnd = 0xAF;

constexpr std::uint8_t kCodeStart = 0xF6;
constexpr std::uint8_t kCodeHeader = 0xF7;
constexpr std::uint8_t kCodeData = 0xF8;
constexpr std::uint8_t kCodeEnd = 0xFA;

constexpr std::uint8_t kReplyReset = 0xF6;
constexpr std::uint8_t kReplyStart = 0xF7;
constexpr std::uint8_t kReplyAck = 0xFB;
constexpr std::uint8_t kReplyAbort = 0xF9;
constexpr std::uint8_t kStatusAccepted = 0x01;
constexpr std::uint8_t kStatusRefused = 0x00;

constexpr std::uint8_t kResetBody[] = {0x00, 0x57, 0xAA, 0x00};
constexpr std::uint8_t kStartPayload = 0xAA;
constexpr std::uint8_t kEndPayload = 0x00;
constexpr std::uint8_t kHeaderMark = 0x0A;
constexpr std::uint8_t kFillByte = 0x1A;

constexpr std::size_t kResetFrameSize = 8;
constexpr std::size_t kShortFrameSize = 5;
constexpr std::size_t kHeaderFrameSize = 11;
constexpr std::size_t kHeaderMarkOffset = 8;
constexpr std::size_t kBlockDataOffset = 4;
constexpr std::size_t kBlockDataSize = 1024;
constexpr std::size_t kBlockFrameSize = 1030;
constexpr std::size_t kReplySize = 5;

static_assert(2 + sizeof kResetBody + 2 == kResetFrameSize, "start, address, body, end, sum");
static_assert(kHeaderMarkOffset + 3 == kHeaderFrameSize, "the mark, the sum, the end");
static_assert(kBlockDataOffset + kBlockDataSize + 2 == kBlockFrameSize, "data, sum, end");

}  // namespace mcu
}  // namespace qd

#endif  // QD_MCU_FRAME_H
