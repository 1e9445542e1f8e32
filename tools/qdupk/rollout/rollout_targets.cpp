#include "rollout_targets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <tuple>

#include "printable.h"
#include "qd_owners.h"

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

TargetList Refusal(const std::string& message) {
    TargetList list;
    list.errors.push_back(message);
    return list;
}

// At most `limit` bytes; false on a read error (errno tells).
bool ReadUpTo(int fd, std::size_t limit, std::string& text) {
    char buffer[16384];
    while (text.size() < limit) {
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

std::string NotAListReason(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
        return " is a directory, not a targets file";
    }
    if (!S_ISREG(info.st_mode)) {
        return " is not a regular file, so not a targets file";
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxTargetsFile) {
        return " is larger than 1 MiB, too large for a targets file";
    }
    return std::string();
}

struct AddrinfoFree {
    void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoFree>;

std::string ResolvedAddress(const std::string& host) {
    int error = 0;
    const std::optional<in_addr> address = FirstIpv4(host, error);
    char text[INET_ADDRSTRLEN] = "";
    if (address) {
        (void)inet_ntop(AF_INET, &*address, text, sizeof text);
    }
    return text;
}

// What two targets share exactly when they reach one camera. Host names
// are case-blind; each name is looked up once.
std::string CameraKey(const HostPort& target, std::map<std::string, std::string>& resolved) {
    auto found = resolved.find(target.host);
    if (found == resolved.end()) {
        std::string key = ResolvedAddress(target.host);
        if (key.empty()) {
            key = target.host;
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
        found = resolved.emplace(target.host, key).first;
    }
    return TargetName({found->second, target.port});
}

}  // namespace

std::optional<in_addr> FirstIpv4(const std::string& host, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    error = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    const AddrinfoPtr owner(list);
    if (error != 0 || list == nullptr) {
        return std::nullopt;
    }
    return reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
}

TargetList ReadTargetList(const std::string& path) {
    // Non-blocking, so that a FIFO is refused instead of waited on.
    const qd::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        return Refusal("cannot read " + path + ": " + std::strerror(errno));
    }
    std::string reason = NotAListReason(info);
    if (!reason.empty()) {
        return Refusal(path + reason);
    }
    std::string text;
    if (!ReadUpTo(fd.get(), kMaxTargetsFile + 1, text)) {
        return Refusal("cannot read " + path + ": " + std::strerror(errno));
    }
    if (text.size() > kMaxTargetsFile) {  // it grew while being read
        return Refusal(path + " is larger than 1 MiB, too large for a targets file");
    }
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        const auto line = std::count(text.begin(), text.begin() + static_cast<long>(nul), '\n') + 1;
        return Refusal(path + ":" + std::to_string(line) +
                       ": a NUL byte; a targets file is text, one HOST:PORT a line");
    }
    return ParseTargetList(text, path);
}

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
            error += ": '" + Printable(entry) + "' is not HOST:PORT with a port from 1 to 65535";
            list.errors.push_back(error);
        }
    }
    return list;
}

std::string TargetName(const HostPort& target) {
    return target.host + ":" + std::to_string(target.port);
}

std::vector<HostPort> WithoutRepeats(const std::vector<HostPort>& targets,
                                     std::vector<Repeat>& dropped) {
    std::vector<HostPort> kept;
    std::map<std::string, std::string> resolved;
    std::map<std::string, std::string> firstByKey;
    for (const HostPort& target : targets) {
        const auto placed = firstByKey.emplace(CameraKey(target, resolved), TargetName(target));
        if (placed.second) {
            kept.push_back(target);
        } else {
            dropped.push_back({TargetName(target), placed.first->second});
        }
    }
    return kept;
}

void SortByAddress(std::vector<HostPort>& targets) {
    std::stable_sort(targets.begin(), targets.end(),
                     [](const HostPort& a, const HostPort& b) { return SortKey(a) < SortKey(b); });
}

std::vector<std::string> TargetAddresses(const std::vector<HostPort>& targets) {
    std::vector<std::string> addresses;
    for (const HostPort& target : targets) {
        int error = 0;
        const std::optional<in_addr> address = FirstIpv4(target.host, error);
        char text[INET_ADDRSTRLEN] = "";
        if (address) {
            (void)inet_ntop(AF_INET, &*address, text, sizeof text);
        }
        addresses.emplace_back(text);
    }
    return addresses;
}

}  // namespace qdupk
