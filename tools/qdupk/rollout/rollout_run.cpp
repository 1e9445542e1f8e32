#include "rollout_run.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "rollout_history.h"
#include "rollout_interrupt.h"
#include "rollout_status.h"

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The longest wait without a look at the clock and the Ctrl-C count.
constexpr Millis kMaxWait{1000};

// A camera that took no bytes for this long is shown as stalled.
constexpr std::chrono::seconds kStallShown{3};

double SecondsBetween(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// Everything the loop knows about one camera.
struct Camera {
    TargetRecord record;
    TimePoint firstStart{};
    TimePoint attemptStart{};
    std::string address;  // where the last attempt connected
    RepushHistory history;
    std::unique_ptr<UploadAttempt> upload;  // the attempt in flight
    std::optional<ReturnWatch> watch;       // acknowledged, until it comes back
};

class Rollout {
  public:
    Rollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
            RolloutObserver& observer);
    RolloutOutcome Run();

  private:
    void CheckInterrupts();
    void StartDue(TimePoint now);
    void Wait(TimePoint now);
    void Dispatch(const std::vector<pollfd>& fds, TimePoint now);
    void Collect(TimePoint now);
    void OnEnd(std::size_t index, const UploadAttempt& attempt, TimePoint now);
    void Finish(std::size_t index, bool succeeded);
    void Announce(std::size_t index);
    void Watch(TimePoint now);
    void Judge(std::size_t index, const ReturnWatch& watch, TimePoint now);
    bool Watched(std::size_t index, const AttemptEnd& end, TimePoint now);
    bool ReportsStatus(std::size_t index) const;
    void Settle(const StatusVerdict& verdict, TimePoint now);
    bool PushAgain(std::size_t index, const std::string& state, TimePoint now);
    void AbortAll();
    void Leftovers();
    void TickDisplay(TimePoint now);
    std::vector<InFlight> Uploads(TimePoint now) const;
    TimePoint NextWake(TimePoint now) const;
    bool AnyWatched() const;
    std::vector<TargetRecord> Records() const;

    RolloutSettings settings_;
    RolloutObserver& observer_;
    std::vector<Camera> cameras_;
    Scheduler scheduler_;
    StatusWatches status_;
    StopReasons announced_;
    TimePoint nextTick_{};
};

Rollout::Rollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
                 RolloutObserver& observer)
    : settings_(settings),
      observer_(observer),
      cameras_(targets.size()),
      scheduler_(targets.size(), settings.policy),
      status_(settings.status, settings.identity, settings.confirmTimeout) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
        cameras_[i].record.target = targets[i];
    }
}

bool Rollout::AnyWatched() const {
    return std::any_of(cameras_.begin(), cameras_.end(),
                       [](const Camera& camera) { return camera.watch.has_value(); });
}

std::vector<TargetRecord> Rollout::Records() const {
    std::vector<TargetRecord> records;
    records.reserve(cameras_.size());
    for (const Camera& camera : cameras_) {
        records.push_back(camera.record);
    }
    return records;
}

RolloutOutcome Rollout::Run() {
    const IgnoreSigpipe sigpipe;
    for (;;) {
        CheckInterrupts();
        const TimePoint now = Clock::now();
        StartDue(now);
        Watch(now);
        TickDisplay(now);
        if (scheduler_.Idle() && status_.empty()) {
            break;
        }
        Wait(now);
    }
    Leftovers();
    const StopReasons stop = scheduler_.Effective();
    std::vector<TargetRecord> records = Records();
    const int status = RolloutExitStatus(records, stop);
    return {std::move(records), stop, status};
}

void Rollout::CheckInterrupts() {
    const int presses = settings_.interrupts != nullptr ? *settings_.interrupts : 0;
    if (presses >= 1 && !scheduler_.stopped().interrupted) {
        scheduler_.Interrupt();
        announced_.interrupted = true;
        observer_.Stopped(scheduler_.stopped(), "interrupted");
    }
    if (presses >= 2) {
        AbortAll();
    }
}

void Rollout::StartDue(TimePoint now) {
    for (std::optional<std::size_t> next = scheduler_.Next(now); next;
         next = scheduler_.Next(now)) {
        Camera& camera = cameras_[*next];
        if (camera.record.attempts == 0) {
            camera.firstStart = now;
        }
        ++camera.record.attempts;
        camera.history.Started();
        camera.attemptStart = now;
        observer_.Started(camera.record);
        auto attempt =
            std::make_unique<UploadAttempt>(camera.record.target, settings_.attempt, now);
        camera.address = attempt->address();
        if (attempt->end()) {
            OnEnd(*next, *attempt, now);
        } else {
            camera.upload = std::move(attempt);
        }
    }
}

void Rollout::OnEnd(std::size_t index, const UploadAttempt& attempt, TimePoint now) {
    const AttemptEnd& end = *attempt.end();
    TargetRecord& record = cameras_[index].record;
    record.result = end.result;
    record.reason = end.reason;
    record.bytes = attempt.sent();
    record.seconds = SecondsBetween(cameras_[index].firstStart, now);
    if (Watched(index, end, now)) {
        return;
    }
    if (end.retryable) {
        if (const std::optional<Millis> pause = scheduler_.Retry(index, now)) {
            observer_.RetryLater(record, *pause);
            return;
        }
    }
    Finish(index, end.result == TargetResult::kOk);
}

bool Rollout::ReportsStatus(std::size_t index) const {
    return status_.active() && index < settings_.before.size() && settings_.before[index];
}

// An acknowledged camera is watched until it comes back or confirms, and a
// refusing one asked for its reason; true when the target is now watched.
bool Rollout::Watched(std::size_t index, const AttemptEnd& end, TimePoint now) {
    Camera& camera = cameras_[index];
    if (end.result == TargetResult::kOk && settings_.waitReturn) {
        scheduler_.Uploaded(index);
        if (ReportsStatus(index)) {
            const bool noJournal = std::strcmp(settings_.before[index]->state, "no journal") == 0;
            status_.Confirm(index, camera.address, now, !settings_.journaled || noJournal);
        } else {
            camera.watch.emplace(now, *settings_.waitReturn);
        }
        observer_.Acknowledged(camera.record);
        return true;
    }
    if (end.result == TargetResult::kRefused && !end.retryable && status_.active()) {
        // Counted at once, so the failure limit and the canary stop new
        // uploads now; only the line waits for the camera's reason.
        scheduler_.Finished(index, false);
        status_.AskWhy(index, camera.address, now);
        return true;
    }
    return false;
}

void Rollout::Settle(const StatusVerdict& verdict, TimePoint now) {
    TargetRecord& record = cameras_[verdict.index].record;
    if (verdict.refusal) {
        // Its seconds stay those of the refusal: asking why is no part of it.
        if (!verdict.outcome.reason.empty()) {
            record.reason = verdict.outcome.reason;
        }
        Announce(verdict.index);
        return;
    }
    record.seconds = SecondsBetween(cameras_[verdict.index].firstStart, now);
    record.result = verdict.outcome.result;
    record.reason = verdict.outcome.reason;
    record.back = verdict.back ? BackState::kYes : BackState::kNo;
    record.confirmed = verdict.outcome.confirmed ? BackState::kYes : BackState::kNo;
    if (record.result == TargetResult::kRecovery &&
        PushAgain(verdict.index, verdict.outcome.state, now)) {
        return;
    }
    Finish(verdict.index, record.result == TargetResult::kOk);
}

// The same package once more to a camera back in recovery, as a retry;
// true when it now waits for that attempt.
bool Rollout::PushAgain(std::size_t index, const std::string& state, TimePoint now) {
    if (!settings_.repushRecovery) {
        return false;
    }
    TargetRecord& record = cameras_[index].record;
    const std::optional<Millis> pause = scheduler_.Retry(index, now);
    if (!pause) {
        record.reason += scheduler_.stopped().any() ? "; not pushed again: the rollout stopped"
                                                    : "; not pushed again: no retries left";
        return false;
    }
    record.reason =
        cameras_[index].history.CameBack(record.attempts, settings_.policy.retries + 1, state);
    observer_.RetryLater(record, *pause);
    return true;
}

void Rollout::Finish(std::size_t index, bool succeeded) {
    scheduler_.Finished(index, succeeded);
    Announce(index);
}

void Rollout::Announce(std::size_t index) {
    Camera& camera = cameras_[index];
    camera.record.reason = camera.history.Reason(camera.record.reason);
    FillKnown(camera.record);
    observer_.Finished(camera.record);
    const StopReasons stop = scheduler_.Effective();
    if (stop.canary && !announced_.canary) {
        announced_.canary = true;
        observer_.Stopped(stop, "canary");
    }
    if (stop.failureLimit && !announced_.failureLimit) {
        announced_.failureLimit = true;
        observer_.Stopped(stop, "max-failures");
    }
}

TimePoint Rollout::NextWake(TimePoint now) const {
    TimePoint wake = now + kMaxWait;
    for (const Camera& camera : cameras_) {
        if (camera.upload) {
            wake = std::min(wake, camera.upload->Deadline());
        }
        if (camera.watch) {
            wake = std::min(wake, camera.watch->NextEvent());
        }
    }
    if (const std::optional<TimePoint> retry = scheduler_.NextRetry()) {
        wake = std::min(wake, *retry);
    }
    if (const std::optional<TimePoint> status = status_.NextEvent()) {
        wake = std::min(wake, *status);
    }
    if (observer_.TickInterval() > Millis{0}) {
        wake = std::min(wake, nextTick_);
    }
    return std::max(wake, now);
}

void Rollout::Wait(TimePoint now) {
    std::vector<pollfd> fds;
    for (const Camera& camera : cameras_) {
        if (camera.upload) {
            fds.push_back({camera.upload->Descriptor(), camera.upload->Events(), 0});
        }
    }
    if (AnyWatched()) {
        fds.push_back({settings_.probe->Descriptor(), POLLIN, 0});
    }
    if (!status_.empty()) {
        fds.push_back({status_.Descriptor(), POLLIN, 0});
    }
    // Last, so Dispatch's places for the others stay as they are.
    const bool wakeable = settings_.wakeFd >= 0;
    if (wakeable) {
        fds.push_back({settings_.wakeFd, POLLIN, 0});
    }
    const auto wait = std::chrono::ceil<std::chrono::nanoseconds>(NextWake(now) - now);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    const int ready = ppoll(fds.data(), fds.size(), &timeout, settings_.waitMask);
    if (ready < 0) {
        // EINTR: a Ctrl-C, seen at the top of the loop.
        return;
    }
    if (wakeable && fds.back().revents != 0 && settings_.onWake) {
        settings_.onWake();
    }
    Dispatch(fds, Clock::now());
}

void Rollout::Dispatch(const std::vector<pollfd>& fds, TimePoint now) {
    std::size_t slot = 0;
    for (Camera& camera : cameras_) {
        if (camera.upload) {
            camera.upload->Advance(fds[slot++].revents, now);
            camera.upload->Advance(0, now);  // its deadline
        }
    }
    if (!status_.empty()) {
        status_.Receive(now);
    }
    if (AnyWatched() && fds[slot].revents != 0) {
        for (const std::string& address : settings_.probe->Answers()) {
            for (Camera& camera : cameras_) {
                if (camera.watch && camera.address == address) {
                    camera.watch->Answered(now);
                }
            }
        }
    }
    Collect(now);
}

void Rollout::Collect(TimePoint now) {
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        if (cameras_[i].upload && cameras_[i].upload->end()) {
            const std::unique_ptr<UploadAttempt> done = std::move(cameras_[i].upload);
            OnEnd(i, *done, now);
        }
    }
}

void Rollout::Watch(TimePoint now) {
    if (status_.active()) {
        status_.SendDue(now);
        for (const StatusVerdict& verdict : status_.TakeDone(now)) {
            Settle(verdict, now);
        }
    }
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        Camera& camera = cameras_[i];
        if (!camera.watch) {
            continue;
        }
        if (camera.watch->ProbeDue(now)) {
            settings_.probe->Probe(camera.address);
        }
        if (camera.watch->verdict(now) != ReturnWatch::Verdict::kWaiting) {
            const ReturnWatch watch = *camera.watch;
            camera.watch.reset();
            Judge(i, watch, now);
        }
    }
}

void Rollout::Judge(std::size_t index, const ReturnWatch& watch, TimePoint now) {
    TargetRecord& record = cameras_[index].record;
    record.seconds = SecondsBetween(cameras_[index].firstStart, now);
    const std::string limit = FormatSeconds(*settings_.waitReturn);
    if (watch.verdict(now) == ReturnWatch::Verdict::kBack) {
        record.back = BackState::kYes;
        record.reason = "acknowledged the package and came back";
        if (status_.active()) {
            record.reason += "; not confirmed: camera does not report status";
        }
        Finish(index, true);
        return;
    }
    record.back = BackState::kNo;
    record.result = TargetResult::kNotBack;
    record.reason =
        watch.wentDown()
            ? "acknowledged the package, went down and did not answer again within " + limit
            : "acknowledged the package but never stopped answering within " + limit +
                  " (did it reboot?)";
    Finish(index, false);
}

void Rollout::AbortAll() {
    const TimePoint now = Clock::now();
    for (Camera& camera : cameras_) {
        if (camera.upload) {
            camera.upload->Abort("aborted by " + settings_.abortedBy);
        }
    }
    Collect(now);
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        Camera& camera = cameras_[i];
        if (!camera.watch) {
            continue;
        }
        camera.watch.reset();
        camera.record.result = TargetResult::kAborted;
        camera.record.reason = "acknowledged the package; " + settings_.abortedBy +
                               " stopped waiting for it to come back";
        camera.record.seconds = SecondsBetween(camera.firstStart, now);
        Finish(i, false);
    }
    for (const StatusVerdict& verdict : status_.TakeAll()) {
        Camera& camera = cameras_[verdict.index];
        if (verdict.refusal) {
            Announce(verdict.index);
            continue;
        }
        camera.record.result = TargetResult::kAborted;
        camera.record.reason = "acknowledged the package; " + settings_.abortedBy +
                               " stopped waiting for its confirmation";
        camera.record.seconds = SecondsBetween(camera.firstStart, now);
        Finish(verdict.index, false);
    }
}

// Targets the rollout stopped before they were (re)tried.
void Rollout::Leftovers() {
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        const Scheduler::State state = scheduler_.state(i);
        TargetRecord& record = cameras_[i].record;
        const RepushHistory& history = cameras_[i].history;
        if (state == Scheduler::State::kPaused) {
            record.reason = history.pending() ? history.NotPushed()
                                              : history.Reason(record.reason) +
                                                    " (not retried: the rollout stopped)";
        } else if (state == Scheduler::State::kQueued) {
            record.reason = "not started: the rollout stopped";
        } else {
            continue;
        }
        FillKnown(record);
        observer_.Finished(record);
    }
}

std::vector<InFlight> Rollout::Uploads(TimePoint now) const {
    std::vector<InFlight> flights;
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        if (!cameras_[i].upload) {
            continue;
        }
        const UploadAttempt& attempt = *cameras_[i].upload;
        const double seconds = SecondsBetween(cameras_[i].attemptStart, now);
        const char* state = attempt.phase() == UploadAttempt::Phase::kConnecting ? "connecting"
                            : attempt.phase() == UploadAttempt::Phase::kSending  ? "sending"
                                                                                 : "installing";
        const bool sending = attempt.phase() == UploadAttempt::Phase::kSending && seconds > 0;
        const auto stalled =
            std::chrono::duration_cast<std::chrono::seconds>(now - attempt.lastProgress());
        if (sending && stalled >= kStallShown) {
            // An average over the attempt would fall slowly and hide that
            // nothing moves.
            flights.push_back(
                {i, "stalled " + std::to_string(stalled.count()) + " s", attempt.sent(), 0.0});
            continue;
        }
        flights.push_back({i, state, attempt.sent(),
                           sending ? static_cast<double>(attempt.sent()) / seconds : 0.0});
    }
    return flights;
}

void Rollout::TickDisplay(TimePoint now) {
    const Millis interval = observer_.TickInterval();
    if (interval <= Millis{0} || now < nextTick_) {
        return;
    }
    nextTick_ = now + interval;
    std::vector<InFlight> flights = Uploads(now);
    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        const Camera& camera = cameras_[i];
        if (camera.watch) {
            flights.push_back({i, "rebooting", camera.record.bytes, 0.0});
        }
        if (const std::optional<std::string> state = status_.Live(i)) {
            flights.push_back({i, *state, camera.record.bytes, 0.0});
        }
        if (scheduler_.state(i) == Scheduler::State::kPaused) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(scheduler_.retryAt(i) - now);
            const char* what = camera.history.pending() ? "in recovery; again in " : "retry in ";
            flights.push_back({i, what + std::to_string(left.count()) + " s", 0, 0.0});
        }
    }
    std::stable_sort(flights.begin(), flights.end(),
                     [](const InFlight& a, const InFlight& b) { return a.index < b.index; });
    observer_.Tick(flights, Records());
}

}  // namespace

RolloutOutcome RunRollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
                          RolloutObserver& observer) {
    Rollout rollout(targets, settings, observer);
    return rollout.Run();
}

}  // namespace qdupk
