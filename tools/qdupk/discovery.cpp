#include "discovery.h"

#include <arpa/inet.h>

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
    const void* nul = std::memchr(field, '\0', kAddressFieldMax);
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

bool SameCamera(const CameraReply& a, const CameraReply& b) {
    return a.address == b.address && a.port == b.port && a.source == b.source;
}

bool AnySourceDiffers(const std::vector<CameraReply>& cameras) {
    for (const CameraReply& camera : cameras) {
        if (camera.source != camera.address) {
            return true;
        }
    }
    return false;
}

}  // namespace

SearchPacket BuildSearch(std::uint32_t nonce) {
    SearchPacket packet{};
    qd::StoreLe32(packet.data(), kSearchMagic);
    qd::StoreLe32(packet.data() + kNonceOffset, nonce);
    return packet;
}

std::optional<CameraReply> ParseReply(const unsigned char* data, std::size_t size,
                                      std::uint32_t nonce, const std::string& source) {
    if (size != kSearchPacketSize || qd::LoadLe32(data) != kSearchMagic ||
        qd::LoadLe32(data + kNonceOffset) != nonce) {
        return std::nullopt;
    }
    const std::uint32_t port = qd::LoadLe32(data + kPortOffset);
    if (port == 0 || port > 0xFFFF) {
        return std::nullopt;
    }
    std::optional<std::string> address = AddressText(data + kAddressOffset);
    if (!address) {
        return std::nullopt;
    }
    return CameraReply{*address, static_cast<std::uint16_t>(port), source};
}

bool CameraList::Add(const CameraReply& reply) {
    for (const CameraReply& known : cameras_) {
        if (SameCamera(known, reply)) {
            return false;
        }
    }
    cameras_.push_back(reply);
    return true;
}

std::string FormatTable(const std::vector<CameraReply>& cameras) {
    const bool withSource = AnySourceDiffers(cameras);
    char line[64];
    (void)std::snprintf(line, sizeof line, "%-15s  %5s", "ADDRESS", "PORT");
    std::string table = line + std::string(withSource ? "  ANSWERED FROM\n" : "\n");
    for (const CameraReply& camera : cameras) {
        (void)std::snprintf(line, sizeof line, "%-15s  %5u", camera.address.c_str(),
                            static_cast<unsigned>(camera.port));
        table += line + (withSource ? "  " + camera.source + "\n" : std::string("\n"));
    }
    return table;
}

std::string FormatJson(const std::vector<CameraReply>& cameras) {
    nlohmann::json list = nlohmann::json::array();
    for (const CameraReply& camera : cameras) {
        list.push_back(
            {{"address", camera.address}, {"port", camera.port}, {"source", camera.source}});
    }
    return JsonLine(list) + "\n";
}

}  // namespace qdupk
