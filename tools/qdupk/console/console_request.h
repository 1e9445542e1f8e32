// The body of POST /api/rollouts as a rollout request: the package id, the
// targets as the page names them, and the fleet options with the command
// line's defaults and ranges.
#ifndef QDUPK_TOOL_CONSOLE_REQUEST_H
#define QDUPK_TOOL_CONSOLE_REQUEST_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "rollout_request.h"

namespace qdupk {

struct RolloutBody {
    std::string package;
    std::vector<HostPort> targets;
    // policy, attempt, waitReturn, confirmTimeout, repushRecovery
    RolloutRequest request;
    nlohmann::json options;  // every option, defaults filled in
};

// nullopt, with `error` naming the member and what it needs, for a body
// that is not such a request.
std::optional<RolloutBody> ParseRolloutBody(const nlohmann::json& body, std::string& error);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_REQUEST_H
