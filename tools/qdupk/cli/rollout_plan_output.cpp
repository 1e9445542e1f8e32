#include "rollout_plan_output.h"

#include <nlohmann/json.hpp>
#include <string>

#include "json_line.h"
#include "printable.h"
#include "rollout_plan.h"
#include "rollout_targets.h"

namespace qdupk {

namespace {

nlohmann::json SecondsJson(Millis duration) {
    return static_cast<double>(duration.count()) / 1000.0;
}

nlohmann::json LimitsJson(const RolloutRequest& request) {
    const RolloutPolicy& policy = request.policy;
    return {{"parallel", policy.parallel},
            {"canary", policy.canary},
            {"max_failures", policy.maxFailures ? nlohmann::json(*policy.maxFailures) : nullptr},
            {"retries", policy.retries},
            {"timeout", SecondsJson(request.attempt.timeout)},
            {"connect_timeout", SecondsJson(request.attempt.connectTimeout)},
            {"wait_return", request.waitReturn ? SecondsJson(*request.waitReturn) : nullptr},
            {"confirm_timeout", SecondsJson(request.confirmTimeout)}};
}

std::string LimitsText(const RolloutRequest& request) {
    const RolloutPolicy& policy = request.policy;
    std::string text = "limits: at most " + std::to_string(policy.parallel) + " at once, retries " +
                       std::to_string(policy.retries) + ", max failures " +
                       (policy.maxFailures ? std::to_string(*policy.maxFailures) : "none") +
                       ", timeout " + FormatSeconds(request.attempt.timeout) +
                       ", connect timeout " + FormatSeconds(request.attempt.connectTimeout);
    if (request.waitReturn) {
        text += ", wait for return " + FormatSeconds(*request.waitReturn) + " (confirm within " +
                FormatSeconds(request.confirmTimeout) + ")";
    }
    return text;
}

// "batches: [1] [2 3] [4 5] [6]" by position in the target list.
std::string BatchesText(const std::vector<std::vector<std::size_t>>& batches,
                        std::size_t canaries) {
    std::string text = "batches:";
    for (const std::vector<std::size_t>& batch : batches) {
        text += batch.front() < canaries ? " canary [" : " [";
        for (std::size_t i = 0; i < batch.size(); ++i) {
            text += (i == 0 ? "" : " ") + std::to_string(batch[i] + 1);
        }
        text += "]";
    }
    return text + "; each next target starts as soon as an upload ends";
}

std::string TargetLine(const RolloutPlan& plan, std::size_t i) {
    std::string line = std::to_string(i + 1) + ". " + Printable(TargetName(plan.targets[i]));
    if (i < plan.request.policy.canary) {
        line += "  canary";
    }
    if (!plan.answers.empty()) {
        line += plan.answers[i] ? "  answers" : "  no answer";
    }
    return line;
}

nlohmann::json TargetJson(const RolloutPlan& plan, std::size_t i) {
    nlohmann::json event = {{"event", "target"},
                            {"address", TargetName(plan.targets[i])},
                            {"canary", i < plan.request.policy.canary}};
    if (!plan.answers.empty()) {
        event["answers"] = static_cast<bool>(plan.answers[i]);
    }
    return event;
}

void PrintJsonPlan(std::FILE* out, const RolloutPlan& plan,
                   const std::vector<std::vector<std::size_t>>& batches) {
    for (std::size_t i = 0; i < plan.targets.size(); ++i) {
        (void)std::fprintf(out, "%s\n", JsonLine(TargetJson(plan, i)).c_str());
    }
    nlohmann::json named = nlohmann::json::array();
    for (const std::vector<std::size_t>& batch : batches) {
        nlohmann::json names = nlohmann::json::array();
        for (const std::size_t i : batch) {
            names.push_back(TargetName(plan.targets[i]));
        }
        named.push_back(names);
    }
    nlohmann::json event = {{"event", "plan"}, {"batches", named}};
    event["limits"] = LimitsJson(plan.request);
    (void)std::fprintf(out, "%s\n", JsonLine(event).c_str());
}

}  // namespace

void PrintPlan(OutputKind kind, std::FILE* out, const RolloutPlan& plan) {
    const std::vector<std::vector<std::size_t>> batches =
        PlanBatches(plan.targets.size(), plan.request.policy);
    if (kind == OutputKind::kJson) {
        PrintJsonPlan(out, plan, batches);
    } else {
        for (std::size_t i = 0; i < plan.targets.size(); ++i) {
            (void)std::fprintf(out, "%s\n", TargetLine(plan, i).c_str());
        }
        (void)std::fprintf(out, "%s\n%s\n",
                           BatchesText(batches, plan.request.policy.canary).c_str(),
                           LimitsText(plan.request).c_str());
    }
    (void)std::fflush(out);
}

}  // namespace qdupk
