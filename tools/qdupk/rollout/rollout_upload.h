// One upload attempt of a rollout as a non-blocking state machine: connect,
// send the header and the package straight from the shared package
// descriptor (sendfile, no buffer of its own), read the acknowledgement.
// The caller polls Descriptor() for Events() and calls Advance when it is
// ready or its deadline passed, so one thread drives any number of them.
#ifndef QDUPK_TOOL_ROLLOUT_UPLOAD_H
#define QDUPK_TOOL_ROLLOUT_UPLOAD_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli_values.h"
#include "qd_owners.h"
#include "rollout_record.h"
#include "upload_protocol.h"

namespace qdupk {

struct AttemptSettings {
    int packageFd = -1;  // read with offsets only, so attempts share it
    std::uint64_t size = 0;
    Millis connectTimeout{10000};
    // Longest stall while sending, and longest wait for the acknowledgement.
    Millis timeout{600000};
};

struct AttemptEnd {
    TargetResult result = TargetResult::kAborted;
    // Connect failed, or the connection broke before the last package byte
    // went out: another attempt may pass.
    bool retryable = false;
    std::string reason;
};

class UploadAttempt {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    enum class Phase : std::uint8_t { kConnecting, kSending, kAwaiting, kDone };

    UploadAttempt(const HostPort& target, const AttemptSettings& settings, TimePoint now);

    int Descriptor() const { return sock_.get(); }
    short Events() const;
    TimePoint Deadline() const { return deadline_; }
    // Moves on after poll reported `revents` (0: only the time passed).
    void Advance(short revents, TimePoint now);
    void Abort(const std::string& why);

    Phase phase() const { return phase_; }
    std::uint64_t sent() const { return static_cast<std::uint64_t>(offset_); }
    // When the camera last took package bytes (or the sending began).
    TimePoint lastProgress() const { return lastProgress_; }
    const std::optional<AttemptEnd>& end() const { return end_; }
    // The IPv4 address connected to, as text; empty before.
    const std::string& address() const { return address_; }

  private:
    std::optional<sockaddr_in> Resolve();
    void Start(TimePoint now);
    void FinishConnect(TimePoint now);
    void Send(TimePoint now);
    bool SendHeader();
    bool SendBody();
    void Receive();
    void Judge();
    void OnTimeout();
    void SendFailed(int error);
    void End(TargetResult result, bool retryable, const std::string& reason);
    std::string Where() const;

    HostPort target_;
    AttemptSettings settings_;
    qd::UniqueFd sock_;
    Phase phase_ = Phase::kConnecting;
    TimePoint deadline_{};
    TimePoint lastProgress_{};
    std::string address_;
    UploadHeader header_{};
    std::size_t headerSent_ = 0;
    off_t offset_ = 0;
    unsigned char answer_[qd::kUploadAckSize] = {};
    std::size_t answered_ = 0;
    std::optional<AttemptEnd> end_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_UPLOAD_H
