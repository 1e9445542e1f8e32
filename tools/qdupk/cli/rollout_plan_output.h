// What `qdupk rollout --dry-run` prints: the targets in order with the
// canaries marked (and, when they were probed, whether each answers), the
// batches --parallel gives, and the limits the rollout would keep.
#ifndef QDUPK_TOOL_ROLLOUT_PLAN_OUTPUT_H
#define QDUPK_TOOL_ROLLOUT_PLAN_OUTPUT_H

#include <cstdio>
#include <optional>
#include <vector>

#include "rollout_output.h"
#include "rollout_request.h"

namespace qdupk {

struct RolloutPlan {
    const std::vector<HostPort>& targets;
    const RolloutRequest& request;
    // One per target when they were probed; empty otherwise.
    std::vector<bool> answers;
};

void PrintPlan(OutputKind kind, std::FILE* out, const RolloutPlan& plan);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_PLAN_OUTPUT_H
