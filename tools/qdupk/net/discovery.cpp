#include "discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "json_line.h"
#include "qd_bytes.h"

namespace qdupk {

namespace {

bool IsDottedAddress(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

std::optional<std::string> AddressText(const unsigned char* field) {
    const void* nul = std::memchr(field, '\0', qd::kSearchAddressSize);
    if (nul == nullptr) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(field),
                     static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - field));
    if (!IsDottedAddress(text)) {
        return std::nullopt;
    }
    return text;
}

// One camera per address and port, whatever it announces.
bool SameCamera(const CameraReply& a, const CameraReply& b) {
    return a.address == b.address && a.port == b.port;
}

bool AnyAnnouncesOther(const std::vector<CameraReply>& cameras) {
    for (const CameraReply& camera : cameras) {
        if (camera.announced != camera.address) {
            return true;
        }
    }
    return false;
}

// Ranges no camera's answer can come from, in host byte order.
struct SourceRange {
    std::uint32_t network;
    std::uint32_t mask;
    const char* why;
};

constexpr SourceRange kNoCameraSources[] = {
    {0x00000000U, 0xFF000000U, "unspecified"},  // 0.0.0.0/8, "this network"
    {0x7F000000U, 0xFF000000U, "loopback"},
    {0xE0000000U, 0xF0000000U, "multicast"},
    {0xFFFFFFFFU, 0xFFFFFFFFU, "broadcast"},
};

// Enough to show what was ignored; a flood is summed up by its count.
constexpr std::size_t kShownSources = 4;

bool Holds(const std::vector<std::uint32_t>& list, std::uint32_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string Plural(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

SearchPacket BuildSearch(std::uint32_t nonce) {
    SearchPacket packet{};
    qd::StoreLe32(packet.data(), qd::kSearchMagic);
    qd::StoreLe32(packet.data() + qd::kSearchNonceOffset, nonce);
    return packet;
}

std::optional<CameraReply> ParseReply(const unsigned char* data, std::size_t size,
                                      std::uint32_t nonce, const std::string& source) {
    if (size != qd::kSearchPacketSize || qd::LoadLe32(data) != qd::kSearchMagic ||
        qd::LoadLe32(data + qd::kSearchNonceOffset) != nonce) {
        return std::nullopt;
    }
    const std::uint32_t port = qd::LoadLe32(data + qd::kSearchPortOffset);
    if (port == 0 || port > 0xFFFF) {
        return std::nullopt;
    }
    std::optional<std::string> address = AddressText(data + qd::kSearchAddressOffset);
    if (!address) {
        return std::nullopt;
    }
    return CameraReply{source, static_cast<std::uint16_t>(port), *address};
}

const char* SourceProblem(const std::string& source, const HostAddresses& host) {
    in_addr parsed{};
    if (inet_pton(AF_INET, source.c_str(), &parsed) != 1) {
        return "not an IPv4 address";
    }
    const std::uint32_t value = ntohl(parsed.s_addr);
    for (const SourceRange& range : kNoCameraSources) {
        if ((value & range.mask) == range.network) {
            return range.why;
        }
    }
    if (Holds(host.own, parsed.s_addr)) {
        return "an address of this PC";
    }
    return Holds(host.broadcast, parsed.s_addr) ? "broadcast" : nullptr;
}

bool CameraList::Add(const CameraReply& reply) {
    for (const CameraReply& known : cameras_) {
        if (SameCamera(known, reply)) {
            return false;
        }
    }
    if (cameras_.size() >= limit_) {
        ++dropped_;
        return false;
    }
    cameras_.push_back(reply);
    return true;
}

void IgnoredAnswers::Add(const std::string& source, const char* why) {
    ++count_;
    const std::string entry = source + " (" + why + ")";
    if (shown_.size() < kShownSources &&
        std::find(shown_.begin(), shown_.end(), entry) == shown_.end()) {
        shown_.push_back(entry);
    }
}

std::string IgnoredAnswers::Sources() const {
    std::string text;
    for (const std::string& entry : shown_) {
        text += (text.empty() ? "" : ", ") + entry;
    }
    return text;
}

std::vector<std::string> SearchWarnings(const SearchResult& result) {
    std::vector<std::string> lines;
    if (result.ignored.count() > 0) {
        lines.push_back("ignored " + Plural(result.ignored.count(), "answer") +
                        " from addresses no camera answers from, among them " +
                        result.ignored.Sources());
    }
    if (result.cameras.dropped() > 0) {
        lines.push_back("kept only the first " + Plural(result.cameras.limit(), "camera") + "; " +
                        Plural(result.cameras.dropped(), "more answer") +
                        " dropped (see --max-answers)");
    }
    return lines;
}

std::vector<CameraReply> ByAddress(std::vector<CameraReply> cameras) {
    // Host order, so the first octet weighs most; every listed camera
    // answered from a dotted-decimal source.
    const auto number = [](const std::string& address) {
        in_addr parsed{};
        return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 ? ntohl(parsed.s_addr) : 0U;
    };
    std::stable_sort(cameras.begin(), cameras.end(),
                     [&number](const CameraReply& a, const CameraReply& b) {
                         const std::uint32_t left = number(a.address);
                         const std::uint32_t right = number(b.address);
                         return left != right ? left < right : a.port < b.port;
                     });
    return cameras;
}

std::string FormatTable(const std::vector<CameraReply>& cameras) {
    const bool withAnnounced = AnyAnnouncesOther(cameras);
    char line[64];
    (void)std::snprintf(line, sizeof line, "%-15s  %5s", "ADDRESS", "PORT");
    std::string table = line + std::string(withAnnounced ? "  ANNOUNCED\n" : "\n");
    for (const CameraReply& camera : cameras) {
        (void)std::snprintf(line, sizeof line, "%-15s  %5u", camera.address.c_str(),
                            static_cast<unsigned>(camera.port));
        table += line + (withAnnounced ? "  " + camera.announced + "\n" : std::string("\n"));
    }
    return table;
}

nlohmann::json CameraJson(const CameraReply& camera) {
    // "source" stays for scripts written when "address" was the announced
    // text; both now name where the answer came from.
    return {{"address", camera.address},
            {"announced", camera.announced},
            {"port", camera.port},
            {"source", camera.address}};
}

std::string FormatJson(const std::vector<CameraReply>& cameras) {
    nlohmann::json list = nlohmann::json::array();
    for (const CameraReply& camera : cameras) {
        list.push_back(CameraJson(camera));
    }
    return JsonLine(list) + "\n";
}

}  // namespace qdupk
