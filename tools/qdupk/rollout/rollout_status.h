// The status side of a rollout: the one status socket, and the cameras
// asked through it after their acknowledgement (until they confirm, roll
// back or time out) or after a refusal (for the camera's reason).
#ifndef QDUPK_TOOL_ROLLOUT_STATUS_H
#define QDUPK_TOOL_ROLLOUT_STATUS_H

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli_values.h"
#include "rollout_confirm.h"
#include "status_client.h"

namespace qdupk {

struct StatusVerdict {
    std::size_t index = 0;
    // The answer to a refusal: outcome.reason is the camera's reason, empty
    // when it gave none for this package.
    bool refusal = false;
    Confirmation outcome;
    bool back = false;  // it answered after a restart
};

class StatusWatches {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // `client` may be null: nothing is then ever watched.
    StatusWatches(StatusClient* client, std::string identity, Millis confirmTimeout);

    bool active() const { return client_ != nullptr; }
    bool empty() const { return entries_.empty(); }
    int Descriptor() const { return client_->Descriptor(); }

    void Confirm(std::size_t index, const std::string& address, TimePoint acknowledged,
                 bool byRestart);
    void AskWhy(std::size_t index, const std::string& address, TimePoint refused);

    // Sends the queries due now.
    void SendDue(TimePoint now);
    // Hands the waiting replies to the watches of their addresses.
    void Receive(TimePoint now);
    // The watches with a verdict now, removed.
    std::vector<StatusVerdict> TakeDone(TimePoint now);
    // Every watch, removed: after a second Ctrl-C.
    std::vector<StatusVerdict> TakeAll();
    std::optional<TimePoint> NextEvent() const;
    // What the live display shows for the camera; nullopt when not watched.
    std::optional<std::string> Live(std::size_t index) const;

  private:
    struct Entry {
        std::string address;
        std::optional<ConfirmWatch> confirm;
        std::optional<RefusalWatch> refusal;
    };
    static std::optional<StatusVerdict> Verdict(std::size_t index, const Entry& entry,
                                                TimePoint now);

    StatusClient* client_;
    std::string identity_;
    Millis confirmTimeout_;
    std::map<std::size_t, Entry> entries_;
};

// Each target's status before anything is sent, asked at the address its
// upload connects to (nullopt: it gave none, or its name does not resolve).
std::vector<std::optional<qd::StatusReport>> AskBefore(StatusClient& client,
                                                       const std::vector<HostPort>& targets,
                                                       Millis timeout = kStatusTimeout);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_STATUS_H
