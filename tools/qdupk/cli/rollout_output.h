// What `qdupk rollout` prints while it runs: plain event lines for a log,
// JSON objects for a script, or on a terminal the finished cameras as lines
// and a live block below them with one line per camera in flight.
#ifndef QDUPK_TOOL_ROLLOUT_OUTPUT_H
#define QDUPK_TOOL_ROLLOUT_OUTPUT_H

#include <cstdio>
#include <memory>

#include "rollout_run.h"

namespace qdupk {

enum class OutputKind : std::uint8_t { kPlain, kJson, kLive };

std::unique_ptr<RolloutObserver> MakeOutput(OutputKind kind, std::FILE* out);

// The last line (or JSON object) of a rollout: counts by result and why it
// stopped.
void PrintSummary(OutputKind kind, std::FILE* out, const RolloutOutcome& outcome);

// Each target's status before the upload, one line (or JSON object) each:
// what it runs, or that it gave none (an older camera).
void PrintBefore(OutputKind kind, std::FILE* out, const std::vector<HostPort>& targets,
                 const std::vector<std::optional<qd::StatusReport>>& before);

// "6 ok, 1 refused, 1 not-started" for the results that occur.
std::string CountsText(const std::vector<TargetRecord>& records);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_OUTPUT_H
