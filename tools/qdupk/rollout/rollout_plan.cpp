#include "rollout_plan.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "rollout_targets.h"

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;

void AddBatches(std::size_t from, std::size_t to, std::size_t width,
                std::vector<std::vector<std::size_t>>& batches) {
    for (std::size_t start = from; start < to; start += width) {
        std::vector<std::size_t> batch;
        for (std::size_t i = start; i < std::min(to, start + width); ++i) {
            batch.push_back(i);
        }
        batches.push_back(std::move(batch));
    }
}

void ProbeAll(const std::vector<std::string>& addresses, const std::vector<bool>& answered,
              ReturnProbe& probe) {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!addresses[i].empty() && !answered[i]) {
            probe.Probe(addresses[i]);
        }
    }
}

// Marks every target an answer came from; the number newly marked.
std::size_t MarkAnswers(const std::vector<std::string>& addresses, std::vector<bool>& answered,
                        ReturnProbe& probe) {
    std::size_t marked = 0;
    for (const std::string& from : probe.Answers()) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (!answered[i] && addresses[i] == from) {
                answered[i] = true;
                ++marked;
            }
        }
    }
    return marked;
}

}  // namespace

std::vector<std::vector<std::size_t>> PlanBatches(std::size_t count, const RolloutPolicy& policy) {
    std::vector<std::vector<std::size_t>> batches;
    const std::size_t width = std::max<std::size_t>(policy.parallel, 1);
    const std::size_t canaries = std::min(policy.canary, count);
    AddBatches(0, canaries, width, batches);
    AddBatches(canaries, count, width, batches);
    return batches;
}

std::vector<bool> ProbeTargets(const std::vector<HostPort>& targets, ReturnProbe& probe,
                               Millis timeout) {
    const std::vector<std::string> addresses = TargetAddresses(targets);
    std::vector<bool> answered(targets.size(), false);
    std::size_t waiting = static_cast<std::size_t>(std::count_if(
        addresses.begin(), addresses.end(), [](const auto& a) { return !a.empty(); }));
    const Clock::time_point start = Clock::now();
    const Clock::time_point again = start + timeout / 2;
    const Clock::time_point deadline = start + timeout;
    bool resent = false;
    ProbeAll(addresses, answered, probe);
    for (Clock::time_point now = start; waiting > 0 && now < deadline; now = Clock::now()) {
        if (!resent && now >= again) {
            ProbeAll(addresses, answered, probe);
            resent = true;
        }
        const Clock::time_point wake = resent ? deadline : again;
        const auto wait = std::chrono::ceil<Millis>(wake - now);
        pollfd fd{probe.Descriptor(), POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(wait.count())) > 0) {
            waiting -= std::min(waiting, MarkAnswers(addresses, answered, probe));
        }
    }
    return answered;
}

}  // namespace qdupk
