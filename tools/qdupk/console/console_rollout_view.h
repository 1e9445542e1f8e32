// What the console shows of a rollout: each camera's progress as a phase a
// person reads (waiting, uploading, installing, rebooting, back, confirmed,
// failed ...), and the whole state as the page and its event stream get it.
#ifndef QDUPK_TOOL_CONSOLE_ROLLOUT_VIEW_H
#define QDUPK_TOOL_CONSOLE_ROLLOUT_VIEW_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "rollout_record.h"

namespace qdupk {

struct CameraProgress {
    std::size_t index = 0;
    std::string target;
    std::string phase = "waiting";
    std::string detail;  // the loop's live state, or the reason once done
    std::uint64_t bytes = 0;
    std::uint64_t size = 0;              // the package's
    double rate = 0.0;                   // bytes a second in this attempt
    std::optional<TargetResult> result;  // none until it is finished
    std::string reason;
    int attempts = 0;
    BackState back = BackState::kNotAsked;
    BackState confirmed = BackState::kNotAsked;
    double seconds = 0.0;
};

// The phase of a camera in flight from the loop's live state ("sending",
// "retry in 2 s", "confirming: ..."): uploading, installing or rebooting.
const char* FlightPhase(const std::string& state);
// The phase of a finished camera: confirmed, back, acknowledged,
// not-started or failed.
const char* FinishedPhase(const TargetRecord& record);

// Takes a finished record in.
void Settle(CameraProgress& camera, const TargetRecord& record);

// The camera object of the state and of `camera` events.
nlohmann::json ProgressJson(const CameraProgress& camera);
// A `progress` event's data: {"index", "bytes", "rate", "phase", "detail"}.
nlohmann::json TickJson(const CameraProgress& camera);

struct RolloutView {
    std::string id;
    std::string state = "running";  // cancelling, aborting, finished
    nlohmann::json package;         // {"id", "name", "version", "size"}
    nlohmann::json options;         // the request's, defaults filled in
    std::vector<std::string> stopped;
    std::vector<CameraProgress> cameras;
    nlohmann::json summary;  // null until it ends
    std::optional<int> exit;
};

// {"id", "state", "package", "options", "stopped", "cameras", "summary", "exit"}
nlohmann::json StateJson(const RolloutView& view);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_ROLLOUT_VIEW_H
