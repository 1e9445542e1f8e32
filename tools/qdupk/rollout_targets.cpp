#include "rollout_targets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

namespace qdupk {

namespace {

std::string Trimmed(const std::string& text) {
    const char* const kSpace = " \t\r\v\f";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::optional<std::uint32_t> Ipv4Value(const std::string& host) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

// Addresses first (numeric), then names (text); port last.
std::tuple<bool, std::uint32_t, std::string, std::uint16_t> SortKey(const HostPort& target) {
    const std::optional<std::uint32_t> value = Ipv4Value(target.host);
    return {!value.has_value(), value.value_or(0), value ? std::string() : target.host,
            target.port};
}

}  // namespace

TargetList ParseTargetList(const std::string& text, const std::string& origin) {
    TargetList list;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string entry = Trimmed(line.substr(0, line.find('#')));
        if (entry.empty()) {
            continue;
        }
        if (std::optional<HostPort> target = ParseHostPort(entry)) {
            list.targets.push_back(*target);
        } else {
            std::string error = origin + ":" + std::to_string(number);
            error += ": '" + entry + "' is not HOST:PORT with a port from 1 to 65535";
            list.errors.push_back(error);
        }
    }
    return list;
}

std::string TargetName(const HostPort& target) {
    return target.host + ":" + std::to_string(target.port);
}

std::vector<HostPort> WithoutRepeats(const std::vector<HostPort>& targets,
                                     std::vector<std::string>& dropped) {
    std::vector<HostPort> kept;
    std::set<std::string> seen;
    for (const HostPort& target : targets) {
        if (seen.insert(TargetName(target)).second) {
            kept.push_back(target);
        } else {
            dropped.push_back(TargetName(target));
        }
    }
    return kept;
}

void SortByAddress(std::vector<HostPort>& targets) {
    std::stable_sort(targets.begin(), targets.end(),
                     [](const HostPort& a, const HostPort& b) { return SortKey(a) < SortKey(b); });
}

}  // namespace qdupk
