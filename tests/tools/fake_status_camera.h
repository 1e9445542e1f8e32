// A stand-in for a camera's status responder on a loopback address of its
// own (127.x.y.z, UDP 54362), so tests in parallel never meet: answers each
// status query with what the test's function says at that moment, or
// misbehaves as told.
#ifndef QD_TEST_FAKE_STATUS_CAMERA_H
#define QD_TEST_FAKE_STATUS_CAMERA_H

#include <netinet/in.h>
#include <atomic>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "qd_owners.h"
#include "qd_status.h"

namespace qdtest {

// nullopt: stay silent this time.
using StatusAnswerFn = std::function<std::optional<qd::StatusReport>()>;

struct StatusMisbehaviour {
    bool wrongNonce = false;
    // Not empty: replies come from this loopback address instead (it must
    // be free on UDP 54362).
    std::string replyFrom;
};

class FakeStatusCamera {
  public:
    FakeStatusCamera(const std::string& address, StatusAnswerFn answer,
                     StatusMisbehaviour how = {});
    ~FakeStatusCamera();  // stops the thread
    FakeStatusCamera(const FakeStatusCamera&) = delete;
    FakeStatusCamera& operator=(const FakeStatusCamera&) = delete;

    // Status queries received so far.
    int Queries() const { return queries_.load(); }

  private:
    void Serve();
    void Answer(const unsigned char* query, const sockaddr_in& asker);

    StatusAnswerFn answer_;
    StatusMisbehaviour how_;
    qd::UniqueFd fd_;
    qd::UniqueFd replyFd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

// A full report in `state` with the package `identity` (also the last
// upload's), up `uptime` seconds.
qd::StatusReport Report(const char* state, const char* identity, std::uint32_t uptime);

}  // namespace qdtest

#endif  // QD_TEST_FAKE_STATUS_CAMERA_H
