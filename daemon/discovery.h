// The discovery responder: upgrade tools find the camera by multicasting a
// search to 234.200.200.1, UDP port 54362, and learn its address and upload
// port from the answer, multicast to the same group on port 54361.
//
// Search and answer are 76 bytes; words are little-endian:
//   0  magic 0x12564387 (87 43 56 12), the same in the answer
//   4  any content, sent back unchanged
//   8  answer: the TCP upload port, widened to 32 bits
//  12  answer: the camera's IPv4 address as dotted text with its terminator
//      (at most 16 bytes); the bytes after the terminator come back unchanged
#ifndef DISCOVERY_H
#define DISCOVERY_H

#include <cstddef>
#include <cstdint>

constexpr const char* kSearchGroup = "234.200.200.1";
constexpr std::uint16_t kSearchPort = 54362;
constexpr std::uint16_t kAnswerPort = 54361;
constexpr std::size_t kSearchPacketSize = 76;
constexpr std::uint32_t kSearchMagic = 0x12564387;
// Announced while eth0 has no address; the interface itself is not given it.
constexpr const char* kFallbackAddress = "192.168.5.163";

// Opens the multicast socket: bound to any address on 54362, joined to the
// group (network byte order) on any interface, time-to-live 100. A failed
// join runs "route add -net 224.0.0.0 netmask 224.0.0.0 dev eth0" and is
// tried once more. The descriptor; -1 no socket, -2 bind failed, -3 join
// failed twice.
int ff_url_createmulticast(std::uint32_t groupAddr) noexcept;

// Leaves the group on any interface; the outcome is not examined.
void ff_url_leave_multicast_group(int fd, std::uint32_t groupAddr) noexcept;

// True when the first four bytes carry the search magic.
bool IsSearchPacket(const unsigned char* packet) noexcept;

// Turns a search into its answer in place: port at 8, address text at 12.
void FillSearchAnswer(unsigned char* packet, const char* szIpAddr, std::uint16_t nPort) noexcept;

// Refreshes the announced address (eth0's, or the fallback text after the
// configured MAC address is applied again, at most once per 2 seconds), fills the answer into the
// 76-byte search in `packet` and sends it to the group's answer port. The
// bytes sent (76), or a negative value when the send failed.
int search_send_data(int fd, unsigned char* packet) noexcept;

// Handles one readable datagram on the multicast socket `fd`: a valid search
// is answered, anything else dropped. After a failed answer the socket is
// replaced and the answer sent once more. Returns the descriptor to use from
// now on: `fd`, the new one, or the negative code of a failed re-creation.
int search_handle_datagram(int fd) noexcept;

#endif  // DISCOVERY_H
