#include "cli_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qdupk {

namespace {

constexpr double kMaxSeconds = 86400.0;

}  // namespace

std::optional<Millis> ParseSeconds(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(seconds > 0.0) || seconds > kMaxSeconds) {
        return std::nullopt;
    }
    // At least a millisecond, so a tiny value never means "do not wait".
    const auto ms = static_cast<long long>(std::ceil(seconds * 1000.0));
    return Millis(ms);
}

std::string FormatSeconds(Millis duration) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

std::optional<std::uint64_t> ParseCounter(const std::string& text) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<HostPort> ParseHostPort(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        return std::nullopt;
    }
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const long port = std::strtol(portText.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return HostPort{text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

}  // namespace qdupk
