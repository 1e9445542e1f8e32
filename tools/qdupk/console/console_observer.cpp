#include "console_observer.h"

#include <cmath>
#include <utility>

#include "rollout_targets.h"

namespace qdupk {

ConsoleObserver::ConsoleObserver(RolloutView& view, Publish publish)
    : view_(view), publish_(std::move(publish)) {
    for (const CameraProgress& camera : view_.cameras) {
        byTarget_.emplace(camera.target, camera.index);
    }
}

CameraProgress& ConsoleObserver::Of(const TargetRecord& record) {
    return view_.cameras[byTarget_.at(TargetName(record.target))];
}

void ConsoleObserver::Changed(const CameraProgress& camera) {
    publish_("camera", ProgressJson(camera), std::nullopt);
}

void ConsoleObserver::Started(const TargetRecord& record) {
    CameraProgress& camera = Of(record);
    camera.phase = "uploading";
    camera.detail = "connecting";
    camera.bytes = 0;
    camera.rate = 0.0;
    camera.attempts = record.attempts;
    Changed(camera);
}

void ConsoleObserver::RetryLater(const TargetRecord& record, Millis pause) {
    CameraProgress& camera = Of(record);
    const long seconds = std::lround(std::ceil(static_cast<double>(pause.count()) / 1000.0));
    camera.detail =
        (record.result == TargetResult::kRecovery ? "in recovery; again in " : "retry in ") +
        std::to_string(seconds) + " s";
    camera.phase = FlightPhase(camera.detail);
    camera.reason = record.reason;
    camera.rate = 0.0;
    camera.attempts = record.attempts;
    Changed(camera);
}

void ConsoleObserver::Acknowledged(const TargetRecord& record) {
    CameraProgress& camera = Of(record);
    camera.phase = "rebooting";
    camera.detail = "acknowledged; waiting for it to come back";
    camera.bytes = record.bytes;
    camera.rate = 0.0;
    Changed(camera);
}

void ConsoleObserver::Finished(const TargetRecord& record) {
    CameraProgress& camera = Of(record);
    Settle(camera, record);
    Changed(camera);
}

void ConsoleObserver::Stopped(const StopReasons& now, const char* reason) {
    (void)now;
    view_.stopped.emplace_back(reason);
    publish_("stopped", {{"reason", reason}, {"stopped", view_.stopped}}, std::nullopt);
}

void ConsoleObserver::Moved(const InFlight& flight) {
    CameraProgress& camera = view_.cameras[flight.index];
    const char* phase = FlightPhase(flight.state);
    const bool newPhase = camera.phase != phase;
    if (!newPhase && camera.detail == flight.state && camera.bytes == flight.bytes &&
        camera.rate == flight.rate) {
        return;
    }
    camera.phase = phase;
    camera.detail = flight.state;
    camera.bytes = flight.bytes;
    camera.rate = flight.rate;
    if (newPhase) {
        Changed(camera);
    } else {
        publish_("progress", TickJson(camera), camera.index);
    }
}

void ConsoleObserver::Tick(const std::vector<InFlight>& flights,
                           const std::vector<TargetRecord>& records) {
    (void)records;
    for (const InFlight& flight : flights) {
        Moved(flight);
    }
    if (ticked_) {
        ticked_();
    }
}

}  // namespace qdupk
