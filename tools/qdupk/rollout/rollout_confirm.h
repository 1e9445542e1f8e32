// What a camera's status reports say about an upload it took or refused,
// without sockets or clocks of its own: after the acknowledgement, whether
// the new firmware confirmed, rolled back or fell into recovery; after a
// refusal, the camera's own reason.
#ifndef QDUPK_TOOL_ROLLOUT_CONFIRM_H
#define QDUPK_TOOL_ROLLOUT_CONFIRM_H

#include <chrono>
#include <optional>
#include <string>

#include "cli_values.h"
#include "qd_status.h"
#include "rollout_record.h"

namespace qdupk {

struct ConfirmPlan {
    std::string identity;  // of the package sent
    // Nothing to confirm (the camera keeps no boot journal, or the package
    // has no kernel or root file system image, which the journal does not
    // record): the camera is done once it restarted.
    bool byRestart = false;
};

struct Confirmation {
    TargetResult result = TargetResult::kUnconfirmed;
    std::string reason;
    bool confirmed = false;  // it reported good with the package sent
    std::string state{};     // the journal state of a camera in recovery
};

// The verdict of one report that arrived `sinceAck` seconds after the
// acknowledgement; nullopt while it says nothing final yet. A camera has
// restarted when it has been up for less than the time since then. A basic
// report carries no identity: the state it gives after a restart is taken
// as the new firmware's.
std::optional<Confirmation> JudgeReport(const qd::StatusReport& report, const ConfirmPlan& plan,
                                        double sinceAck);

class ConfirmWatch {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // One query per camera every two seconds keeps a whole site far below
    // a camera's limit of ten answers a second.
    static constexpr Millis kQueryInterval{2000};

    // Watching starts at the acknowledgement and lasts `limit`.
    ConfirmWatch(TimePoint acknowledged, Millis limit, ConfirmPlan plan);

    // True when a query is due now; it is then taken as sent.
    bool QueryDue(TimePoint now);
    void Reported(const qd::StatusReport& report, TimePoint now);
    // The outcome, or nullopt while waiting; unconfirmed once the limit
    // passed, naming the last state seen.
    std::optional<Confirmation> verdict(TimePoint now) const;
    // It answered after a restart: it came back.
    bool back() const { return back_; }
    // "rebooting", "no status yet", "trial": for the live display.
    std::string Live() const;
    TimePoint NextEvent() const;

  private:
    TimePoint acknowledged_;
    TimePoint deadline_;
    TimePoint nextQuery_;
    Millis limit_;
    ConfirmPlan plan_;
    std::optional<Confirmation> done_;
    std::string lastState_;  // empty: no answer since the acknowledgement
    bool back_ = false;
};

// After a refusal: the camera is asked a few times, for a few seconds, why.
class RefusalWatch {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr Millis kQueryInterval{1000};
    static constexpr int kQueries = 3;

    RefusalWatch(TimePoint refused, std::string identity);

    bool QueryDue(TimePoint now);
    void Reported(const qd::StatusReport& report);
    // Answered, or the last query went unanswered.
    bool done(TimePoint now) const;
    // "the camera refused the package: <its reason>" when its last upload
    // was the package sent; empty otherwise.
    const std::string& reason() const { return reason_; }
    TimePoint NextEvent() const;

  private:
    TimePoint nextQuery_;
    TimePoint deadline_;
    int sent_ = 0;
    std::string identity_;
    bool answered_ = false;
    std::string reason_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_CONFIRM_H
