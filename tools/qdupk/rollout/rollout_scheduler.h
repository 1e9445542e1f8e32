// Which camera of a rollout gets the next upload, without sockets or
// clocks of its own: at most N uploads at once, canaries first and alone,
// retries after growing pauses, and no new start once the rollout stops
// (a failed canary, the failure limit, or the user's Ctrl-C).
#ifndef QDUPK_TOOL_ROLLOUT_SCHEDULER_H
#define QDUPK_TOOL_ROLLOUT_SCHEDULER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cli_values.h"

namespace qdupk {

struct RolloutPolicy {
    std::size_t parallel = 4;
    // The first `canary` targets go first; the rest start only when every
    // one of them succeeded.
    std::size_t canary = 0;
    std::optional<std::size_t> maxFailures;  // none: no limit
    int retries = 2;
    Millis firstPause{2000};  // then doubling
};

// Why a rollout stopped starting uploads; more than one may hold.
struct StopReasons {
    bool canary = false;
    bool failureLimit = false;
    bool interrupted = false;
    bool any() const { return canary || failureLimit || interrupted; }
};

class Scheduler {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    enum class State : std::uint8_t { kQueued, kRunning, kReturning, kPaused, kSucceeded, kFailed };

    Scheduler(std::size_t count, const RolloutPolicy& policy);

    // The target whose attempt may start now, which then holds a slot; none
    // when every slot is taken, nothing is due, or the rollout stopped.
    std::optional<std::size_t> Next(TimePoint now);
    // The running attempt failed in a way that may pass on another try, or
    // the watched target came back in recovery and gets the package again:
    // the pause before it, or none when no retry is left or the rollout
    // stopped (the caller then calls Finished).
    std::optional<Millis> Retry(std::size_t index, TimePoint now);
    // The upload is done but the target is not yet judged (it is being
    // watched to come back); its slot goes to the next target.
    void Uploaded(std::size_t index);
    void Finished(std::size_t index, bool succeeded);
    void Interrupt();

    // The earliest pending retry, if any could still start.
    std::optional<TimePoint> NextRetry() const;
    // Nothing runs and nothing will start any more.
    bool Idle() const;
    State state(std::size_t index) const { return targets_[index].state; }
    // When a paused target's retry is due.
    TimePoint retryAt(std::size_t index) const { return targets_[index].retryAt; }
    const StopReasons& stopped() const { return stop_; }
    // The reasons that kept some target from starting or from its retry: a
    // canary or failure limit that leaves nothing to hold back stopped
    // nothing. A Ctrl-C always counts; the user asked to stop.
    StopReasons Effective() const;

  private:
    struct Target {
        State state = State::kQueued;
        int retriesUsed = 0;
        TimePoint retryAt{};
    };

    bool Eligible(std::size_t index, TimePoint now) const;
    bool CanaryOpen() const;
    void JudgeCanary();

    RolloutPolicy policy_;
    std::vector<Target> targets_;
    std::size_t running_ = 0;
    std::size_t failures_ = 0;
    bool canaryPassed_ = false;
    StopReasons stop_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_SCHEDULER_H
