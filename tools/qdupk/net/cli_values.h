// Option values shared by the network subcommands.
#ifndef QDUPK_TOOL_CLI_VALUES_H
#define QDUPK_TOOL_CLI_VALUES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qdupk {

using Millis = std::chrono::milliseconds;

// Seconds as a positive decimal number ("10", "0.5"), at most a day;
// nullopt for anything else.
std::optional<Millis> ParseSeconds(const std::string& text);

// "10 s", "0.5 s": a time-out as messages show it.
std::string FormatSeconds(Millis duration);

// A decimal number from 0 to 2^64 - 1 (digits only); nullopt otherwise.
std::optional<std::uint64_t> ParseCounter(const std::string& text);

struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// "HOST:PORT" with a port from 1 to 65535; nullopt otherwise.
std::optional<HostPort> ParseHostPort(const std::string& text);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CLI_VALUES_H
