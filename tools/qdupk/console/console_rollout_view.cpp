#include "console_rollout_view.h"

#include <string_view>

namespace qdupk {

namespace {

struct PhaseRule {
    std::string_view prefix;
    const char* phase;
};

// The loop's live states by their first words; what is not listed is being
// uploaded.
constexpr PhaseRule kFlightPhases[] = {
    {"installing", "installing"},
    {"rebooting", "rebooting"},
    {"confirming", "rebooting"},
    {"in recovery", "rebooting"},
};

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

nlohmann::json ResultJson(const std::optional<TargetResult>& result) {
    return result ? nlohmann::json(ResultName(*result)) : nlohmann::json(nullptr);
}

}  // namespace

const char* FlightPhase(const std::string& state) {
    for (const PhaseRule& rule : kFlightPhases) {
        if (StartsWith(state, rule.prefix)) {
            return rule.phase;
        }
    }
    return "uploading";
}

const char* FinishedPhase(const TargetRecord& record) {
    if (record.result == TargetResult::kNotStarted) {
        return "not-started";
    }
    if (record.result != TargetResult::kOk) {
        return "failed";
    }
    if (record.confirmed == BackState::kYes) {
        return "confirmed";
    }
    return record.back == BackState::kYes ? "back" : "acknowledged";
}

void Settle(CameraProgress& camera, const TargetRecord& record) {
    camera.phase = FinishedPhase(record);
    camera.detail = record.reason;
    camera.bytes = record.bytes;
    camera.rate = 0.0;
    camera.result = record.result;
    camera.reason = record.reason;
    camera.attempts = record.attempts;
    camera.back = record.back;
    camera.confirmed = record.confirmed;
    camera.seconds = record.seconds;
}

nlohmann::json ProgressJson(const CameraProgress& camera) {
    return {{"index", camera.index},         {"target", camera.target},
            {"phase", camera.phase},         {"detail", camera.detail},
            {"bytes", camera.bytes},         {"size", camera.size},
            {"rate", camera.rate},           {"result", ResultJson(camera.result)},
            {"reason", camera.reason},       {"attempts", camera.attempts},
            {"back", BackName(camera.back)}, {"confirmed", BackName(camera.confirmed)},
            {"seconds", camera.seconds}};
}

nlohmann::json TickJson(const CameraProgress& camera) {
    return {{"index", camera.index},
            {"bytes", camera.bytes},
            {"rate", camera.rate},
            {"phase", camera.phase},
            {"detail", camera.detail}};
}

nlohmann::json StateJson(const RolloutView& view) {
    nlohmann::json cameras = nlohmann::json::array();
    for (const CameraProgress& camera : view.cameras) {
        cameras.push_back(ProgressJson(camera));
    }
    return {{"id", view.id},
            {"state", view.state},
            {"package", view.package},
            {"options", view.options},
            {"stopped", view.stopped},
            {"cameras", std::move(cameras)},
            {"summary", view.summary},
            {"exit", view.exit ? nlohmann::json(*view.exit) : nlohmann::json(nullptr)}};
}

}  // namespace qdupk
