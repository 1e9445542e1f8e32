#include "discovery.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

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
                     static_cast<const unsigned char*>(nul) - field);
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

// Only dotted addresses reach the output, but a source text could in
// principle hold anything; keep the JSON valid regardless.
std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            (void)std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
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
    std::string json = "[";
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const CameraReply& camera = cameras[i];
        json += (i == 0 ? "" : ", ");
        json += "{\"address\": " + JsonString(camera.address) +
                ", \"port\": " + std::to_string(camera.port) +
                ", \"source\": " + JsonString(camera.source) + "}";
    }
    return json + "]\n";
}

}  // namespace qdupk
