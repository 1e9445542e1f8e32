// The rollout loop's events as the console's: each one updates the view
// the page reads and goes out as an event ("camera", "progress",
// "stopped"), progress at most four times a second per camera.
#ifndef QDUPK_TOOL_CONSOLE_OBSERVER_H
#define QDUPK_TOOL_CONSOLE_OBSERVER_H

#include <cstddef>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console_rollout_view.h"
#include "rollout_run.h"

namespace qdupk {

class ConsoleObserver : public RolloutObserver {
  public:
    // type, data, and for "progress" the camera it is about.
    using Publish = std::function<void(const char* type, const nlohmann::json& data,
                                       std::optional<std::size_t> camera)>;

    static constexpr Millis kTick{250};

    // `view` lists the rollout's targets in order; it must outlive this.
    ConsoleObserver(RolloutView& view, Publish publish);

    void Started(const TargetRecord& record) override;
    void RetryLater(const TargetRecord& record, Millis pause) override;
    void Acknowledged(const TargetRecord& record) override;
    void Finished(const TargetRecord& record) override;
    void Stopped(const StopReasons& now, const char* reason) override;
    // Called after each tick's events.
    void OnTick(std::function<void()> ticked) { ticked_ = std::move(ticked); }
    Millis TickInterval() const override { return kTick; }
    void Tick(const std::vector<InFlight>& flights,
              const std::vector<TargetRecord>& records) override;

  private:
    CameraProgress& Of(const TargetRecord& record);
    void Changed(const CameraProgress& camera);
    void Moved(const InFlight& flight);

    RolloutView& view_;
    Publish publish_;
    std::function<void()> ticked_;
    std::map<std::string, std::size_t> byTarget_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_OBSERVER_H
