// Whether a camera came back after the reboot that follows its
// acknowledgement. It is probed once a second with a search sent to its own
// address (the answer comes on the group); it is back once a probe went
// unanswered (it went down) and a later one was answered (it is up again).
#ifndef QDUPK_TOOL_ROLLOUT_RETURN_H
#define QDUPK_TOOL_ROLLOUT_RETURN_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_values.h"
#include "qd_status.h"
#include "search_socket.h"

namespace qdupk {

class ReturnWatch {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    enum class Verdict : std::uint8_t { kWaiting, kBack, kNotBack };

    static constexpr Millis kProbeInterval{1000};

    // Watching starts at the acknowledgement and lasts `limit`.
    ReturnWatch(TimePoint acknowledged, Millis limit);

    // True when a probe is due now; it is taken as sent, and the previous
    // probe, unless answered, counts as unanswered.
    bool ProbeDue(TimePoint now);
    // An answer from the camera arrived.
    void Answered(TimePoint now);
    Verdict verdict(TimePoint now) const;
    // A probe went unanswered: the camera went down.
    bool wentDown() const { return wentDown_; }
    // When ProbeDue or the verdict next needs a look.
    TimePoint NextEvent() const;

  private:
    TimePoint deadline_;
    TimePoint nextProbe_;
    bool probing_ = false;  // a probe is out
    bool answered_ = false;
    bool wentDown_ = false;
    bool back_ = false;
};

// The search socket as the return watch needs it; a test puts its own in.
class ReturnProbe {
  public:
    virtual ~ReturnProbe() = default;
    // Readable when answers wait.
    virtual int Descriptor() const = 0;
    // One search sent to the camera's own IPv4 address.
    virtual void Probe(const std::string& address) = 0;
    // The addresses of the cameras whose answers waited (the address each
    // announces and the one it answered from).
    virtual std::vector<std::string> Answers() = 0;
};

// The real one: the search's group socket, joined on `iface` (or where the
// route to the group leads). Throws Error when it cannot be set up.
class MulticastReturnProbe : public ReturnProbe {
  public:
    explicit MulticastReturnProbe(const std::optional<SearchInterface>& iface);
    int Descriptor() const override { return fd_.get(); }
    void Probe(const std::string& address) override;
    std::vector<std::string> Answers() override;

  private:
    qd::UniqueFd fd_;
    std::uint32_t nonce_;
};

// The probe for the targets that gave no status before (older cameras),
// on the interface named or given by an address (empty: where the route to
// the group leads); none when every target gave one. Throws Error when it
// cannot be set up.
std::unique_ptr<MulticastReturnProbe> OpenReturnProbe(
    const std::vector<std::optional<qd::StatusReport>>& before, const std::string& interface);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_RETURN_H
