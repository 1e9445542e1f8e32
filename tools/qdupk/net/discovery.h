// The camera search on the wire, without sockets: building the search
// packet, reading one reply, and the de-duplicated list of cameras that
// `qdupk search` prints.
#ifndef QDUPK_TOOL_DISCOVERY_H
#define QDUPK_TOOL_DISCOVERY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "qd_wire.h"

namespace qdupk {

using SearchPacket = std::array<unsigned char, qd::kSearchPacketSize>;

// Magic, the nonce in bytes 4-7 (a camera sends them back unchanged, which
// tells this search's answers from those to other tools), zero elsewhere.
SearchPacket BuildSearch(std::uint32_t nonce);

struct CameraReply {
    // Where the answer came from: the camera's address, where uploads go.
    std::string address;
    std::uint16_t port = 0;
    // The address text the answer carries. A camera without an address of
    // its own announces a fallback one, the same on every such camera.
    std::string announced;
};

// One received datagram from `source` (dotted decimal): a reply when it is
// exactly one packet long, has the magic and this search's nonce, a
// terminated dotted-decimal address in its first 16 address bytes and a
// port from 1 to 65535; nullopt otherwise.
std::optional<CameraReply> ParseReply(const unsigned char* data, std::size_t size,
                                      std::uint32_t nonce, const std::string& source);

// This host's IPv4 addresses and its interfaces' broadcast addresses, in
// network byte order as the socket calls give them.
struct HostAddresses {
    std::vector<std::uint32_t> own;
    std::vector<std::uint32_t> broadcast;
};

// Why no camera can answer from `source` ("loopback", "an address of this
// PC", ...): uploads there would go to this PC's own services or nowhere.
// nullptr when a camera can.
const char* SourceProblem(const std::string& source, const HostAddresses& host);

constexpr std::size_t kDefaultMaxAnswers = 1024;

// Cameras in the order they first answered, each once however often it
// did, at most `limit` of them: a flood of answers cannot grow the list
// (or a rollout) without end.
class CameraList {
  public:
    explicit CameraList(std::size_t limit = kDefaultMaxAnswers) : limit_(limit) {}
    // False when the camera was already listed, or the list is full (the
    // answer then counts as dropped).
    bool Add(const CameraReply& reply);
    const std::vector<CameraReply>& cameras() const { return cameras_; }
    std::size_t limit() const { return limit_; }
    std::size_t dropped() const { return dropped_; }

  private:
    std::vector<CameraReply> cameras_;
    std::size_t limit_;
    std::size_t dropped_ = 0;
};

// Answers from sources no camera can have, kept for one warning.
class IgnoredAnswers {
  public:
    void Add(const std::string& source, const char* why);
    std::size_t count() const { return count_; }
    // "127.0.0.1 (loopback), 10.0.0.2 (an address of this PC)": the first
    // few sources, each once.
    std::string Sources() const;

  private:
    std::vector<std::string> shown_;
    std::size_t count_ = 0;
};

// Everything a search collected.
struct SearchResult {
    CameraList cameras;
    IgnoredAnswers ignored;
};

// The cameras in address order (numerically, 10.0.0.9 before 10.0.0.10),
// then by port: the order search lists them in, whatever the order of the
// answers, so two searches of the same network print the same list.
std::vector<CameraReply> ByAddress(std::vector<CameraReply> cameras);

// What the user should hear about a search besides its cameras: ignored
// answers and answers beyond the limit, one line each; none when neither.
std::vector<std::string> SearchWarnings(const SearchResult& result);

// One line per camera under a header; the announced column appears only
// when some camera announced another address than the one it answered from.
std::string FormatTable(const std::vector<CameraReply>& cameras);
// [{"address": "...", "announced": "...", "port": N}, ...], one line.
std::string FormatJson(const std::vector<CameraReply>& cameras);
// One camera's object in that array.
nlohmann::json CameraJson(const CameraReply& camera);

}  // namespace qdupk

#endif  // QDUPK_TOOL_DISCOVERY_H
