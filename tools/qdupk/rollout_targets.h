// Where a rollout goes: the cameras named on the command line, in a
// targets file or found by a search, as one ordered list without repeats.
#ifndef QDUPK_TOOL_ROLLOUT_TARGETS_H
#define QDUPK_TOOL_ROLLOUT_TARGETS_H

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

// "host:port" as messages and reports name a target.
std::string TargetName(const HostPort& target);

// The list without repeated targets (first place kept); the repeats' names
// go to `dropped`. Two uploads to one camera at once would make both fail.
std::vector<HostPort> WithoutRepeats(const std::vector<HostPort>& targets,
                                     std::vector<std::string>& dropped);

// Numeric IPv4 order (10.0.0.9 before 10.0.0.10), then port; names that
// are not addresses after all addresses, in text order.
void SortByAddress(std::vector<HostPort>& targets);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_TARGETS_H
