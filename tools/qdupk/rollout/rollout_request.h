// A rollout as a front (the command line, the web console) asks for it,
// what must be ready before anything is sent, and the loop's settings made
// from the two.
#ifndef QDUPK_TOOL_ROLLOUT_REQUEST_H
#define QDUPK_TOOL_ROLLOUT_REQUEST_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rollout_package.h"
#include "rollout_run.h"
#include "rollout_sources.h"

namespace qdupk {

struct RolloutRequest {
    std::string package;
    TargetSources sources;
    // Public key files a signature must be by, and the lowest seal counter.
    std::vector<std::string> publicKeys;
    std::optional<std::uint64_t> minCounter;
    RolloutPolicy policy;
    AttemptSettings attempt;  // the time-outs; the package comes from PreparedRollout
    std::optional<Millis> waitReturn;
    Millis confirmTimeout{300000};
    bool repushRecovery = false;
};

struct PreparedRollout {
    RolloutPackage package;
    std::string verified;  // the verified package's summary
    PackageInfo info;
    std::unique_ptr<StatusClient> status;
    std::vector<std::optional<qd::StatusReport>> before;
    std::unique_ptr<MulticastReturnProbe> probe;
};

// Opens the package and verifies that open file as the request's keys and
// counter demand. Throws Error when a camera would refuse it, naming
// `unsent` in brackets.
PreparedRollout OpenAndVerify(const RolloutRequest& request, const char* unsent = "nothing sent");

// With waitReturn, asks each target for its status once, before its upload
// (whether it reports status decides how its return is judged).
void AskStatusBefore(const RolloutRequest& request, const std::vector<HostPort>& targets,
                     PreparedRollout& prepared);

// The loop's settings: the request's, on the prepared package, status
// client and probe (which must outlive the rollout).
RolloutSettings SettingsFor(const RolloutRequest& request, const PreparedRollout& prepared);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_REQUEST_H
