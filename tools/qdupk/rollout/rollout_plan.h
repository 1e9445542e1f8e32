// What a dry run tells before anything is sent: the order in which the
// scheduler would start the targets, and which targets answer a search
// sent to each of them.
#ifndef QDUPK_TOOL_ROLLOUT_PLAN_H
#define QDUPK_TOOL_ROLLOUT_PLAN_H

#include <cstddef>
#include <vector>

#include "cli_values.h"
#include "rollout_return.h"
#include "rollout_scheduler.h"

namespace qdupk {

// Target indexes in the groups that start together if every upload took
// as long as the others: the canaries, at most `parallel` at a time, then
// the rest likewise. A real rollout starts each next target as soon as a
// slot frees, so these are the order and the width, not fixed steps.
std::vector<std::vector<std::size_t>> PlanBatches(std::size_t count, const RolloutPolicy& policy);

// Whether each target answers a search sent to its own address, within
// `timeout` (a second search goes half-way, in case the first was lost).
// Only datagrams: a TCP connection would hold a camera's only thread. A
// name that does not resolve counts as not answering.
std::vector<bool> ProbeTargets(const std::vector<HostPort>& targets, ReturnProbe& probe,
                               Millis timeout);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_PLAN_H
