// The camera search on the wire, without sockets: building the search
// packet, reading one reply, and the de-duplicated list of cameras that
// `qdupk search` prints.
#ifndef QDUPK_TOOL_DISCOVERY_H
#define QDUPK_TOOL_DISCOVERY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qd_wire.h"

namespace qdupk {

using qd::kSearchGroup;
using qd::kSearchMagic;
using qd::kSearchPacketSize;
using qd::kSearchPort;
constexpr std::uint16_t kReplyPort = qd::kAnswerPort;
constexpr std::size_t kNonceOffset = qd::kSearchNonceOffset;
constexpr std::size_t kPortOffset = qd::kSearchPortOffset;
constexpr std::size_t kAddressOffset = qd::kSearchAddressOffset;
constexpr std::size_t kAddressFieldMax = qd::kSearchAddressSize;

using SearchPacket = std::array<unsigned char, kSearchPacketSize>;

// Magic, the nonce in bytes 4-7 (a camera sends them back unchanged, which
// tells this search's answers from those to other tools), zero elsewhere.
SearchPacket BuildSearch(std::uint32_t nonce);

struct CameraReply {
    std::string address;  // as the camera announces it
    std::uint16_t port = 0;
    std::string source;  // where the datagram came from
};

// One received datagram: a reply when it is exactly one packet long, has
// the magic and this search's nonce, a terminated dotted-decimal address in
// its first 16 address bytes and a port from 1 to 65535; nullopt otherwise.
std::optional<CameraReply> ParseReply(const unsigned char* data, std::size_t size,
                                      std::uint32_t nonce, const std::string& source);

// Cameras in the order they first answered, each once however often it did.
class CameraList {
  public:
    // False when the camera was already listed.
    bool Add(const CameraReply& reply);
    const std::vector<CameraReply>& cameras() const { return cameras_; }

  private:
    std::vector<CameraReply> cameras_;
};

// One line per camera under a header; the source column appears only when
// some camera answered from an address other than the one it announced (a
// camera without an address announces a fallback one).
std::string FormatTable(const std::vector<CameraReply>& cameras);
// [{"address": "...", "port": N, "source": "..."}, ...], one line.
std::string FormatJson(const std::vector<CameraReply>& cameras);

}  // namespace qdupk

#endif  // QDUPK_TOOL_DISCOVERY_H
