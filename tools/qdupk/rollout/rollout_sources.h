// Where a rollout's targets come from: the command line, a targets file and
// a search, in that order, a camera reached twice kept once.
#ifndef QDUPK_TOOL_ROLLOUT_SOURCES_H
#define QDUPK_TOOL_ROLLOUT_SOURCES_H

#include <cstddef>
#include <string>
#include <vector>

#include "discovery.h"
#include "rollout_targets.h"

namespace qdupk {

struct TargetSources {
    std::vector<std::string> named;  // HOST:PORT each, already checked
    std::string file;                // empty: none
    bool search = false;
    std::string interface;  // to search on, by name or address; empty: any
    Millis searchTimeout{3000};
    std::size_t maxAnswers = kDefaultMaxAnswers;
};

// Each group of warnings belongs together; a long one is shown shortened.
using Warnings = std::vector<std::vector<std::string>>;

struct CollectedTargets {
    std::vector<HostPort> targets;
    Warnings warnings;
};

// Throws Error when a source fails or none names a target.
CollectedTargets CollectTargets(const TargetSources& sources);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_SOURCES_H
