#include "rollout_status.h"

#include <algorithm>
#include <utility>

#include "rollout_targets.h"

namespace qdupk {

std::vector<std::optional<qd::StatusReport>> AskBefore(StatusClient& client,
                                                       const std::vector<HostPort>& targets,
                                                       Millis timeout) {
    return AskEach(client, TargetAddresses(targets), timeout);
}

StatusWatches::StatusWatches(StatusClient* client, std::string identity, Millis confirmTimeout)
    : client_(client), identity_(std::move(identity)), confirmTimeout_(confirmTimeout) {}

void StatusWatches::Confirm(std::size_t index, const std::string& address, TimePoint acknowledged,
                            bool byRestart) {
    Entry& entry = entries_[index];
    entry.address = address;
    entry.confirm.emplace(acknowledged, confirmTimeout_, ConfirmPlan{identity_, byRestart});
}

void StatusWatches::AskWhy(std::size_t index, const std::string& address, TimePoint refused) {
    Entry& entry = entries_[index];
    entry.address = address;
    entry.refusal.emplace(refused, identity_);
}

void StatusWatches::SendDue(TimePoint now) {
    for (auto& [index, entry] : entries_) {
        const bool due =
            entry.confirm ? entry.confirm->QueryDue(now) : entry.refusal->QueryDue(now);
        if (due) {
            (void)client_->Ask(entry.address);
        }
    }
}

void StatusWatches::Receive(TimePoint now) {
    for (const StatusAnswer& answer : client_->Replies()) {
        for (auto& [index, entry] : entries_) {
            if (entry.address != answer.address) {
                continue;
            }
            if (entry.confirm) {
                entry.confirm->Reported(answer.report, now);
            } else {
                entry.refusal->Reported(answer.report);
            }
        }
    }
}

std::optional<StatusVerdict> StatusWatches::Verdict(std::size_t index, const Entry& entry,
                                                    TimePoint now) {
    if (entry.refusal) {
        if (!entry.refusal->done(now)) {
            return std::nullopt;
        }
        return StatusVerdict{index, true, {TargetResult::kRefused, entry.refusal->reason()}};
    }
    const std::optional<Confirmation> outcome = entry.confirm->verdict(now);
    if (!outcome) {
        return std::nullopt;
    }
    return StatusVerdict{index, false, *outcome, entry.confirm->back()};
}

std::vector<StatusVerdict> StatusWatches::TakeDone(TimePoint now) {
    std::vector<StatusVerdict> done;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (std::optional<StatusVerdict> verdict = Verdict(it->first, it->second, now)) {
            done.push_back(std::move(*verdict));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    return done;
}

std::vector<StatusVerdict> StatusWatches::TakeAll() {
    std::vector<StatusVerdict> all;
    for (const auto& [index, entry] : entries_) {
        all.push_back({index, entry.refusal.has_value(), {}, false});
    }
    entries_.clear();
    return all;
}

std::optional<StatusWatches::TimePoint> StatusWatches::NextEvent() const {
    std::optional<TimePoint> next;
    for (const auto& [index, entry] : entries_) {
        const TimePoint at =
            entry.confirm ? entry.confirm->NextEvent() : entry.refusal->NextEvent();
        next = next ? std::min(*next, at) : at;
    }
    return next;
}

std::optional<std::string> StatusWatches::Live(std::size_t index) const {
    const auto it = entries_.find(index);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return it->second.confirm ? "confirming: " + it->second.confirm->Live() : "asking why";
}

}  // namespace qdupk
