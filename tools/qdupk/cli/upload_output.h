// What `qdupk upload` shows of its one-camera rollout: the progress bar (or
// plain progress lines) while the package goes out and the camera installs
// it, a line for each retry, and the verdict line with its exit status.
#ifndef QDUPK_TOOL_UPLOAD_OUTPUT_H
#define QDUPK_TOOL_UPLOAD_OUTPUT_H

#include <cstdio>
#include <optional>

#include "progress.h"
#include "rollout_run.h"

namespace qdupk {

constexpr int kExitNotAccepted = 3;
constexpr int kExitConnection = 4;
constexpr int kExitTimeout = 5;

class UploadOutput : public RolloutObserver {
  public:
    UploadOutput(std::FILE* out, bool terminal, std::uint64_t size, Millis timeout);

    void Started(const TargetRecord& record) override;
    void RetryLater(const TargetRecord& record, Millis pause) override;
    void Acknowledged(const TargetRecord& record) override;
    void Finished(const TargetRecord& record) override;
    void Stopped(const StopReasons& now, const char* reason) override;
    Millis TickInterval() const override;
    void Tick(const std::vector<InFlight>& flights,
              const std::vector<TargetRecord>& records) override;

  private:
    void AllSent();
    void EndProgress(std::uint64_t sent);

    std::FILE* out_;
    bool terminal_;
    std::uint64_t size_;
    Millis timeout_;
    std::optional<TransferProgress> progress_;
    bool sending_ = false;
    bool allSent_ = false;
    TransferProgress::Clock::time_point allSentAt_{};
};

// `upload --json`: nothing while it works, then the verdict as one JSON
// object: {"target", "result", "reason", "bytes", "seconds"}.
class UploadJsonOutput : public RolloutObserver {
  public:
    explicit UploadJsonOutput(std::FILE* out) : out_(out) {}
    void Started(const TargetRecord& /*record*/) override {}
    void RetryLater(const TargetRecord& /*record*/, Millis /*pause*/) override {}
    void Acknowledged(const TargetRecord& /*record*/) override {}
    void Finished(const TargetRecord& record) override;
    void Stopped(const StopReasons& /*now*/, const char* /*reason*/) override {}

  private:
    std::FILE* out_;
};

// 0 accepted, 3 not accepted, 4 no connection, 5 time-out, 1 otherwise.
int UploadExitStatus(TargetResult result);

// "ACCEPTED: 10.0.0.5:8000 acknowledged the package: ...", the camera
// named where the verdict's words need it.
std::string UploadVerdict(const TargetRecord& record);

}  // namespace qdupk

#endif  // QDUPK_TOOL_UPLOAD_OUTPUT_H
