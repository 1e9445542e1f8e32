#include "rollout_run.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "rollout_history.h"
#include "rollout_status.h"

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The longest wait without a look at the clock and the Ctrl-C count.
constexpr Millis kMaxWait{1000};

double SecondsBetween(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// SIGPIPE would end the tool when a camera closes while sendfile writes to
// it; the error comes back as EPIPE instead while the rollout runs.
class IgnoreSigpipe {
  public:
    IgnoreSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        (void)sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~IgnoreSigpipe() { (void)sigaction(SIGPIPE, &saved_, nullptr); }
    IgnoreSigpipe(const IgnoreSigpipe&) = delete;
    IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

  private:
    struct sigaction saved_ {};
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

    RolloutSettings settings_;
    RolloutObserver& observer_;
    std::vector<TargetRecord> records_;
    std::vector<TimePoint> firstStart_;
    std::vector<TimePoint> attemptStart_;
    std::vector<std::string> addresses_;
    std::vector<RepushHistory> history_;
    Scheduler scheduler_;
    std::map<std::size_t, std::unique_ptr<UploadAttempt>> running_;
    std::map<std::size_t, ReturnWatch> watching_;
    StatusWatches status_;
    StopReasons announced_;
    TimePoint nextTick_{};
};

Rollout::Rollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
                 RolloutObserver& observer)
    : settings_(settings),
      observer_(observer),
      records_(targets.size()),
      firstStart_(targets.size()),
      attemptStart_(targets.size()),
      addresses_(targets.size()),
      history_(targets.size()),
      scheduler_(targets.size(), settings.policy),
      status_(settings.status, settings.identity, settings.confirmTimeout) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
        records_[i].target = targets[i];
    }
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
    return {records_, stop, RolloutExitStatus(records_, stop)};
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
        const std::size_t i = *next;
        TargetRecord& record = records_[i];
        if (record.attempts == 0) {
            firstStart_[i] = now;
        }
        ++record.attempts;
        history_[i].Started();
        attemptStart_[i] = now;
        observer_.Started(record);
        auto attempt = std::make_unique<UploadAttempt>(record.target, settings_.attempt, now);
        addresses_[i] = attempt->address();
        if (attempt->end()) {
            OnEnd(i, *attempt, now);
        } else {
            running_.emplace(i, std::move(attempt));
        }
    }
}

void Rollout::OnEnd(std::size_t index, const UploadAttempt& attempt, TimePoint now) {
    const AttemptEnd& end = *attempt.end();
    TargetRecord& record = records_[index];
    record.result = end.result;
    record.reason = end.reason;
    record.bytes = attempt.sent();
    record.seconds = SecondsBetween(firstStart_[index], now);
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
    const TargetRecord& record = records_[index];
    if (end.result == TargetResult::kOk && settings_.waitReturn) {
        scheduler_.Uploaded(index);
        if (ReportsStatus(index)) {
            const bool noJournal = std::strcmp(settings_.before[index]->state, "no journal") == 0;
            status_.Confirm(index, addresses_[index], now, !settings_.journaled || noJournal);
        } else {
            watching_.emplace(index, ReturnWatch(now, *settings_.waitReturn));
        }
        observer_.Acknowledged(record);
        return true;
    }
    if (end.result == TargetResult::kRefused && !end.retryable && status_.active()) {
        // Counted at once, so the failure limit and the canary stop new
        // uploads now; only the line waits for the camera's reason.
        scheduler_.Finished(index, false);
        status_.AskWhy(index, addresses_[index], now);
        return true;
    }
    return false;
}

void Rollout::Settle(const StatusVerdict& verdict, TimePoint now) {
    TargetRecord& record = records_[verdict.index];
    if (verdict.refusal) {
        // Its seconds stay those of the refusal: asking why is no part of it.
        if (!verdict.outcome.reason.empty()) {
            record.reason = verdict.outcome.reason;
        }
        Announce(verdict.index);
        return;
    }
    record.seconds = SecondsBetween(firstStart_[verdict.index], now);
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
    TargetRecord& record = records_[index];
    const std::optional<Millis> pause = scheduler_.Retry(index, now);
    if (!pause) {
        record.reason += scheduler_.stopped().any() ? "; not pushed again: the rollout stopped"
                                                    : "; not pushed again: no retries left";
        return false;
    }
    record.reason = history_[index].CameBack(record.attempts, settings_.policy.retries + 1, state);
    observer_.RetryLater(record, *pause);
    return true;
}

void Rollout::Finish(std::size_t index, bool succeeded) {
    scheduler_.Finished(index, succeeded);
    Announce(index);
}

void Rollout::Announce(std::size_t index) {
    records_[index].reason = history_[index].Reason(records_[index].reason);
    observer_.Finished(records_[index]);
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
    for (const auto& entry : running_) {
        wake = std::min(wake, entry.second->Deadline());
    }
    for (const auto& entry : watching_) {
        wake = std::min(wake, entry.second.NextEvent());
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
    fds.reserve(running_.size() + 1);
    for (const auto& entry : running_) {
        fds.push_back({entry.second->Descriptor(), entry.second->Events(), 0});
    }
    if (!watching_.empty()) {
        fds.push_back({settings_.probe->Descriptor(), POLLIN, 0});
    }
    if (!status_.empty()) {
        fds.push_back({status_.Descriptor(), POLLIN, 0});
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
    Dispatch(fds, Clock::now());
}

void Rollout::Dispatch(const std::vector<pollfd>& fds, TimePoint now) {
    std::size_t slot = 0;
    for (auto& entry : running_) {
        entry.second->Advance(fds[slot++].revents, now);
        entry.second->Advance(0, now);  // its deadline
    }
    if (!status_.empty()) {
        status_.Receive(now);
    }
    if (!watching_.empty() && fds[slot].revents != 0) {
        for (const std::string& address : settings_.probe->Answers()) {
            for (auto& entry : watching_) {
                if (addresses_[entry.first] == address) {
                    entry.second.Answered(now);
                }
            }
        }
    }
    Collect(now);
}

void Rollout::Collect(TimePoint now) {
    for (auto it = running_.begin(); it != running_.end();) {
        if (it->second->end()) {
            const std::unique_ptr<UploadAttempt> done = std::move(it->second);
            const std::size_t index = it->first;
            it = running_.erase(it);
            OnEnd(index, *done, now);
        } else {
            ++it;
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
    for (auto it = watching_.begin(); it != watching_.end();) {
        if (it->second.ProbeDue(now)) {
            settings_.probe->Probe(addresses_[it->first]);
        }
        if (it->second.verdict(now) == ReturnWatch::Verdict::kWaiting) {
            ++it;
            continue;
        }
        const std::size_t index = it->first;
        const ReturnWatch watch = it->second;
        it = watching_.erase(it);
        Judge(index, watch, now);
    }
}

void Rollout::Judge(std::size_t index, const ReturnWatch& watch, TimePoint now) {
    TargetRecord& record = records_[index];
    record.seconds = SecondsBetween(firstStart_[index], now);
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
    for (auto& entry : running_) {
        entry.second->Abort("aborted by a second Ctrl-C");
    }
    Collect(now);
    for (auto& entry : watching_) {
        TargetRecord& record = records_[entry.first];
        record.result = TargetResult::kAborted;
        record.reason =
            "acknowledged the package; a second Ctrl-C stopped waiting for it to come back";
        record.seconds = SecondsBetween(firstStart_[entry.first], now);
        Finish(entry.first, false);
    }
    watching_.clear();
    for (const StatusVerdict& verdict : status_.TakeAll()) {
        TargetRecord& record = records_[verdict.index];
        if (verdict.refusal) {
            Announce(verdict.index);
            continue;
        }
        record.result = TargetResult::kAborted;
        record.reason =
            "acknowledged the package; a second Ctrl-C stopped waiting for its confirmation";
        record.seconds = SecondsBetween(firstStart_[verdict.index], now);
        Finish(verdict.index, false);
    }
}

// Targets the rollout stopped before they were (re)tried.
void Rollout::Leftovers() {
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const Scheduler::State state = scheduler_.state(i);
        if (state == Scheduler::State::kPaused) {
            records_[i].reason = history_[i].pending() ? history_[i].NotPushed()
                                                       : history_[i].Reason(records_[i].reason) +
                                                             " (not retried: the rollout stopped)";
            observer_.Finished(records_[i]);
        } else if (state == Scheduler::State::kQueued) {
            records_[i].reason = "not started: the rollout stopped";
            observer_.Finished(records_[i]);
        }
    }
}

std::vector<InFlight> Rollout::Uploads(TimePoint now) const {
    std::vector<InFlight> flights;
    for (const auto& entry : running_) {
        const UploadAttempt& attempt = *entry.second;
        const double seconds = SecondsBetween(attemptStart_[entry.first], now);
        const char* state = attempt.phase() == UploadAttempt::Phase::kConnecting ? "connecting"
                            : attempt.phase() == UploadAttempt::Phase::kSending  ? "sending"
                                                                                 : "installing";
        const bool sending = attempt.phase() == UploadAttempt::Phase::kSending && seconds > 0;
        flights.push_back({entry.first, state, attempt.sent(),
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
    for (const auto& entry : watching_) {
        flights.push_back({entry.first, "rebooting", records_[entry.first].bytes, 0.0});
    }
    for (std::size_t i = 0; i < records_.size(); ++i) {
        if (const std::optional<std::string> state = status_.Live(i)) {
            flights.push_back({i, *state, records_[i].bytes, 0.0});
        }
        if (scheduler_.state(i) == Scheduler::State::kPaused) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(scheduler_.retryAt(i) - now);
            const char* what = history_[i].pending() ? "in recovery; again in " : "retry in ";
            flights.push_back({i, what + std::to_string(left.count()) + " s", 0, 0.0});
        }
    }
    std::sort(flights.begin(), flights.end(),
              [](const InFlight& a, const InFlight& b) { return a.index < b.index; });
    observer_.Tick(flights, records_);
}

}  // namespace

RolloutOutcome RunRollout(const std::vector<HostPort>& targets, const RolloutSettings& settings,
                          RolloutObserver& observer) {
    Rollout rollout(targets, settings, observer);
    return rollout.Run();
}

}  // namespace qdupk
