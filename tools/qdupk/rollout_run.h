// The rollout itself: one thread, one poll over every upload in flight and
// the return probe, the scheduler deciding what starts when. Output goes
// through an observer, so the loop does not care whether a terminal, a log
// or a script reads it.
#ifndef QDUPK_TOOL_ROLLOUT_RUN_H
#define QDUPK_TOOL_ROLLOUT_RUN_H

#include <signal.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "rollout_record.h"
#include "rollout_return.h"
#include "rollout_scheduler.h"
#include "rollout_upload.h"

namespace qdupk {

// A camera in flight, as the live display shows it.
struct InFlight {
    std::size_t index = 0;
    std::string state;  // "connecting", "sending", "installing", "rebooting"
    std::uint64_t bytes = 0;
    double rate = 0.0;  // package bytes a second in this attempt
};

class RolloutObserver {
  public:
    virtual ~RolloutObserver() = default;
    // record.attempts is the number of the attempt that starts.
    virtual void Started(const TargetRecord& record) = 0;
    virtual void RetryLater(const TargetRecord& record, Millis pause) = 0;
    // Acknowledged; now watched until it comes back.
    virtual void Acknowledged(const TargetRecord& record) = 0;
    virtual void Finished(const TargetRecord& record) = 0;
    // Called once for each reason as it first holds.
    virtual void Stopped(const StopReasons& now, const char* reason) = 0;
    // About every TickInterval while anything is in flight; 0: never.
    virtual Millis TickInterval() const { return Millis{0}; }
    virtual void Tick(const std::vector<InFlight>& flights,
                      const std::vector<TargetRecord>& records) {
        (void)flights;
        (void)records;
    }
};

struct RolloutSettings {
    AttemptSettings attempt;
    RolloutPolicy policy;
    std::optional<Millis> waitReturn;  // none: acknowledged is done
    ReturnProbe* probe = nullptr;      // needed with waitReturn
    // How often Ctrl-C was pressed, and the signal mask to wait with (the
    // caller keeps SIGINT blocked otherwise, so no press slips in between
    // a check and the wait). Both may be null.
    const volatile std::sig_atomic_t* interrupts = nullptr;
    const sigset_t* waitMask = nullptr;
};

struct RolloutOutcome {
    std::vector<TargetRecord> records;
    StopReasons stop;
    int exitStatus = 0;
};

RolloutOutcome RunRollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
                          RolloutObserver& observer);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_RUN_H
