// The rollout itself: one thread, one poll over every upload in flight and
// the return probe, the scheduler deciding what starts when. Output goes
// through an observer, so the loop does not care whether a terminal, a log
// or a script reads it.
#ifndef QDUPK_TOOL_ROLLOUT_RUN_H
#define QDUPK_TOOL_ROLLOUT_RUN_H

#include <signal.h>

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rollout_record.h"
#include "rollout_return.h"
#include "rollout_scheduler.h"
#include "rollout_upload.h"
#include "status_client.h"

namespace qdupk {

// A camera in flight, as the live display shows it.
struct InFlight {
    std::size_t index = 0;
    // "connecting", "sending", "installing", "rebooting", "confirming: ...",
    // "asking why", "retry in N s", "in recovery; again in N s", "stalled N s"
    // (a camera that took no package bytes for a few seconds)
    std::string state;
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
    // Needed with waitReturn when some target gave no status before.
    ReturnProbe* probe = nullptr;
    // The status side; none: a refusal keeps the upload's own words and
    // every acknowledged camera is judged by the probe.
    StatusClient* status = nullptr;
    // Each target's status before the rollout, in target order (nullopt: it
    // gave none, an older camera, judged by the probe). With waitReturn a
    // target that gave one is judged by its status after the
    // acknowledgement, within confirmTimeout.
    std::vector<std::optional<qd::StatusReport>> before;
    std::string identity;   // of the package, as cameras report it
    bool journaled = true;  // it has a kernel or root file system image
    // A camera that came back in recovery gets the package again, as a
    // retry out of policy.retries; false: recovery is its verdict.
    bool repushRecovery = false;
    Millis confirmTimeout{300000};
    // How often Ctrl-C was pressed, and the signal mask to wait with (the
    // caller keeps SIGINT blocked otherwise, so no press slips in between
    // a check and the wait). Both may be null.
    const volatile std::sig_atomic_t* interrupts = nullptr;
    const sigset_t* waitMask = nullptr;
    // A front that serves others while the rollout runs (the web console)
    // hands over a descriptor that turns readable when it has work; the
    // loop then calls onWake, which may raise *interrupts, and acts on
    // that at once. -1: none.
    int wakeFd = -1;
    std::function<void()> onWake;
    // What aborts a rollout at the second press, as the results name it.
    std::string abortedBy = "a second Ctrl-C";
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
