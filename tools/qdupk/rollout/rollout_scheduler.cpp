#include "rollout_scheduler.h"

#include <algorithm>

namespace qdupk {

Scheduler::Scheduler(std::size_t count, const RolloutPolicy& policy)
    : policy_(policy), targets_(count) {
    policy_.canary = std::min(policy_.canary, count);
    canaryPassed_ = policy_.canary == 0;
}

bool Scheduler::CanaryOpen() const {
    return canaryPassed_;
}

bool Scheduler::Eligible(std::size_t index, TimePoint now) const {
    if (!CanaryOpen() && index >= policy_.canary) {
        return false;
    }
    const Target& target = targets_[index];
    return target.state == State::kQueued ||
           (target.state == State::kPaused && target.retryAt <= now);
}

std::optional<std::size_t> Scheduler::Next(TimePoint now) {
    if (stop_.any() || running_ >= policy_.parallel) {
        return std::nullopt;
    }
    // A due retry goes before a fresh target: it has waited already.
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (Eligible(i, now) && (!chosen || targets_[i].state == State::kPaused)) {
            chosen = i;
            if (targets_[i].state == State::kPaused) {
                break;
            }
        }
    }
    if (chosen) {
        targets_[*chosen].state = State::kRunning;
        ++running_;
    }
    return chosen;
}

std::optional<Millis> Scheduler::Retry(std::size_t index, TimePoint now) {
    Target& target = targets_[index];
    if (stop_.any() || target.retriesUsed >= policy_.retries) {
        return std::nullopt;
    }
    const Millis pause = policy_.firstPause * (1LL << std::min(target.retriesUsed, 30));
    ++target.retriesUsed;
    if (target.state == State::kRunning) {
        --running_;
    }
    target.state = State::kPaused;
    target.retryAt = now + pause;
    return pause;
}

void Scheduler::Uploaded(std::size_t index) {
    if (targets_[index].state == State::kRunning) {
        targets_[index].state = State::kReturning;
        --running_;
    }
}

void Scheduler::Finished(std::size_t index, bool succeeded) {
    Target& target = targets_[index];
    if (target.state == State::kRunning) {
        --running_;
    }
    target.state = succeeded ? State::kSucceeded : State::kFailed;
    if (!succeeded) {
        ++failures_;
        if (policy_.maxFailures && failures_ >= *policy_.maxFailures) {
            stop_.failureLimit = true;
        }
    }
    JudgeCanary();
}

// Once every canary is judged the rest may go, or none of them may.
void Scheduler::JudgeCanary() {
    if (canaryPassed_ || stop_.canary) {
        return;
    }
    bool allSucceeded = true;
    for (std::size_t i = 0; i < policy_.canary; ++i) {
        const State state = targets_[i].state;
        if (state != State::kSucceeded && state != State::kFailed) {
            return;
        }
        allSucceeded = allSucceeded && state == State::kSucceeded;
    }
    canaryPassed_ = allSucceeded;
    stop_.canary = !allSucceeded;
}

void Scheduler::Interrupt() {
    stop_.interrupted = true;
}

std::optional<Scheduler::TimePoint> Scheduler::NextRetry() const {
    std::optional<TimePoint> earliest;
    // A due retry without a free slot waits for an upload to end instead.
    if (stop_.any() || running_ >= policy_.parallel) {
        return earliest;
    }
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        const Target& target = targets_[i];
        if (target.state == State::kPaused && (CanaryOpen() || i < policy_.canary) &&
            (!earliest || target.retryAt < *earliest)) {
            earliest = target.retryAt;
        }
    }
    return earliest;
}

StopReasons Scheduler::Effective() const {
    const bool heldBack = std::any_of(targets_.begin(), targets_.end(), [](const Target& t) {
        return t.state == State::kQueued || t.state == State::kPaused;
    });
    StopReasons effective = stop_;
    effective.canary = effective.canary && heldBack;
    effective.failureLimit = effective.failureLimit && heldBack;
    return effective;
}

bool Scheduler::Idle() const {
    for (const Target& target : targets_) {
        const State state = target.state;
        if (state == State::kRunning || state == State::kReturning) {
            return false;
        }
        if (!stop_.any() && (state == State::kQueued || state == State::kPaused)) {
            return false;
        }
    }
    return true;
}

}  // namespace qdupk
