// Where a rollout goes: the cameras named on the command line, in a
// targets file or found by a search, as one ordered list without repeats.
#ifndef QDUPK_TOOL_ROLLOUT_TARGETS_H
#define QDUPK_TOOL_ROLLOUT_TARGETS_H

#include <netinet/in.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli_values.h"

namespace qdupk {

struct TargetList {
    std::vector<HostPort> targets;
    // "FILE:LINE: ..." for each line that is not a target; a list with
    // errors must not be used.
    std::vector<std::string> errors;
};

// One HOST:PORT per line; "#" starts a comment, blank lines and spaces
// around a target are ignored. `origin` names the file in messages.
TargetList ParseTargetList(const std::string& text, const std::string& origin);

// A site's list is a few kilobytes; the bound keeps a wrong file (a device,
// a log) from being read until memory runs out.
constexpr std::size_t kMaxTargetsFile = std::size_t{1} << 20;

// Reads and parses a targets file. One that is not a regular file, is over
// kMaxTargetsFile bytes or holds a NUL byte (no text file does) is refused
// with a single error before any line is parsed.
TargetList ReadTargetList(const std::string& path);

// The first IPv4 address of host, the one a rollout connects to; nullopt,
// with getaddrinfo's code in `error`, when the name does not resolve.
std::optional<in_addr> FirstIpv4(const std::string& host, int& error);

// Each target's IPv4 address as text, or empty when its name does not
// resolve.
std::vector<std::string> TargetAddresses(const std::vector<HostPort>& targets);

// "host:port" as messages and reports name a target.
std::string TargetName(const HostPort& target);

// A target left out because an earlier one reaches the same camera.
struct Repeat {
    std::string name;   // as listed
    std::string first;  // the earlier target it repeats
};

// The list without targets that reach a camera already listed (first place
// kept): two uploads to one camera at once would make both fail. Targets
// are compared by the IPv4 address they resolve to now, the one the upload
// connects to, so "127.1:80", "0x7f.0.0.1:80" and "localhost:80" are one;
// a name that does not resolve, by its text.
std::vector<HostPort> WithoutRepeats(const std::vector<HostPort>& targets,
                                     std::vector<Repeat>& dropped);

// Numeric IPv4 order (10.0.0.9 before 10.0.0.10), then port; names that
// are not addresses after all addresses, in text order.
void SortByAddress(std::vector<HostPort>& targets);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_TARGETS_H
