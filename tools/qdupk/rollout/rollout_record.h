// What a rollout knows about each target, and what it comes to: the
// per-camera results and the exit status.
#ifndef QDUPK_TOOL_ROLLOUT_RECORD_H
#define QDUPK_TOOL_ROLLOUT_RECORD_H

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "cli_values.h"
#include "rollout_scheduler.h"

namespace qdupk {

enum class TargetResult : std::uint8_t {
    kOk,
    kRefused,
    kNoConnection,
    kTimeout,
    kNotBack,
    kNotStarted,
    kAborted,
    // With --wait-return, from the camera's status after the reboot.
    kRolledBack,
    kRecovery,
    kUnconfirmed,
};

// "ok", "refused", "no-connection", "timeout", "not-back", "not-started",
// "aborted", "rolled-back", "recovery", "unconfirmed": the words reports
// and scripts use.
const char* ResultName(TargetResult result);

enum class BackState : std::uint8_t { kNotAsked, kYes, kNo };
const char* BackName(BackState back);  // "", "yes", "no"

struct TargetRecord {
    HostPort target;
    TargetResult result = TargetResult::kNotStarted;
    std::string reason;
    std::uint64_t bytes = 0;  // package bytes the last attempt sent
    double seconds = 0.0;     // from the first connect to the verdict
    int attempts = 0;
    BackState back = BackState::kNotAsked;
    // Whether its status showed the new firmware good (kNotAsked: not
    // watched, or the camera does not report status).
    BackState confirmed = BackState::kNotAsked;
};

// What a verdict already tells: a target refused, never connected or
// never started got nothing installed, so its firmware is known not to be
// confirmed, with or without status.
void FillKnown(TargetRecord& record);

constexpr int kExitSomeFailed = 3;
constexpr int kExitCanaryStop = 4;
constexpr int kExitFailureLimit = 5;
constexpr int kExitInterrupted = 130;

// 130 when interrupted; else 4 a canary failed, 5 the failure limit was
// reached, 3 some target did not succeed; 0 otherwise.
int RolloutExitStatus(const std::vector<TargetRecord>& records, const StopReasons& stop);

// {"targets": N, "ok": N, ..., "stopped": [...], "exit": N}, keys for every
// result name.
nlohmann::json SummaryJson(const std::vector<TargetRecord>& records, const StopReasons& stop);
nlohmann::json RecordJson(const TargetRecord& record);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_RECORD_H
