#include "rollout_record.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "rollout_targets.h"

namespace qdupk {

namespace {

constexpr TargetResult kAllResults[] = {
    TargetResult::kOk,          TargetResult::kRefused,    TargetResult::kNoConnection,
    TargetResult::kTimeout,     TargetResult::kNotBack,    TargetResult::kNotStarted,
    TargetResult::kAborted,     TargetResult::kRolledBack, TargetResult::kRecovery,
    TargetResult::kUnconfirmed,
};

nlohmann::json StopList(const StopReasons& stop) {
    nlohmann::json list = nlohmann::json::array();
    if (stop.canary) {
        list.push_back("canary");
    }
    if (stop.failureLimit) {
        list.push_back("max-failures");
    }
    if (stop.interrupted) {
        list.push_back("interrupted");
    }
    return list;
}

nlohmann::json TriState(BackState state) {
    return state == BackState::kNotAsked ? nlohmann::json(nullptr)
                                         : nlohmann::json(state == BackState::kYes);
}

}  // namespace

const char* ResultName(TargetResult result) {
    switch (result) {
        case TargetResult::kOk:
            return "ok";
        case TargetResult::kRefused:
            return "refused";
        case TargetResult::kNoConnection:
            return "no-connection";
        case TargetResult::kTimeout:
            return "timeout";
        case TargetResult::kNotBack:
            return "not-back";
        case TargetResult::kNotStarted:
            return "not-started";
        case TargetResult::kRolledBack:
            return "rolled-back";
        case TargetResult::kRecovery:
            return "recovery";
        case TargetResult::kUnconfirmed:
            return "unconfirmed";
        case TargetResult::kAborted:
            break;
    }
    return "aborted";
}

const char* BackName(BackState back) {
    switch (back) {
        case BackState::kYes:
            return "yes";
        case BackState::kNo:
            return "no";
        case BackState::kNotAsked:
            break;
    }
    return "";
}

void FillKnown(TargetRecord& record) {
    const bool nothingInstalled = record.result == TargetResult::kRefused ||
                                  record.result == TargetResult::kNoConnection ||
                                  record.result == TargetResult::kNotStarted;
    if (nothingInstalled && record.confirmed == BackState::kNotAsked) {
        record.confirmed = BackState::kNo;
    }
}

int RolloutExitStatus(const std::vector<TargetRecord>& records, const StopReasons& stop) {
    if (stop.interrupted) {
        return kExitInterrupted;
    }
    if (stop.canary) {
        return kExitCanaryStop;
    }
    if (stop.failureLimit) {
        return kExitFailureLimit;
    }
    const bool allOk = std::all_of(records.begin(), records.end(), [](const TargetRecord& r) {
        return r.result == TargetResult::kOk;
    });
    return allOk ? 0 : kExitSomeFailed;
}

nlohmann::json SummaryJson(const std::vector<TargetRecord>& records, const StopReasons& stop) {
    nlohmann::json summary = {{"targets", records.size()}};
    for (const TargetResult result : kAllResults) {
        summary[ResultName(result)] =
            std::count_if(records.begin(), records.end(),
                          [result](const TargetRecord& r) { return r.result == result; });
    }
    summary["stopped"] = StopList(stop);
    summary["exit"] = RolloutExitStatus(records, stop);
    return summary;
}

nlohmann::json RecordJson(const TargetRecord& record) {
    return {{"address", TargetName(record.target)},
            {"result", ResultName(record.result)},
            {"reason", record.reason},
            {"bytes", record.bytes},
            {"seconds", std::round(record.seconds * 10.0) / 10.0},
            {"attempts", record.attempts},
            {"back", TriState(record.back)},
            {"confirmed", TriState(record.confirmed)}};
}

}  // namespace qdupk
