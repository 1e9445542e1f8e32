// A stand-in for the camera's upload port on loopback: accepts connections,
// reads the 8-byte header and as many bytes as it announces, then answers as
// told. Records what it received so a test can compare it byte for byte.
#ifndef QD_TEST_FAKE_UPLOAD_SERVER_H
#define QD_TEST_FAKE_UPLOAD_SERVER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qd_owners.h"

namespace qdtest {

enum class ServerReply {
    kAck,            // AA CC DD 03 00 00 00 00, then close
    kClose,          // close without a byte, as a camera that refused
    kSilent,         // never answer; hold the connection until the client goes
    kFailureResult,  // the magic with a non-zero result
    kCloseEarly,     // close right after the header, before the package
    kStall,          // read the header, then nothing more; hold the connection
};

// Connections open at once across several stand-ins, for a client that
// must keep to a limit. With holdUntil set, each stand-in keeps its answer
// back until that many were open together (or a few seconds passed), so a
// client that keeps to the limit reaches it exactly.
struct ConcurrencyGauge {
    std::atomic<int> open{0};
    std::atomic<int> peak{0};
    int holdUntil = 0;
};

struct ReceivedUpload {
    std::vector<unsigned char> header;
    std::vector<unsigned char> body;
};

class FakeUploadServer {
  public:
    // Listens on `address` (a loopback address; a camera's own for a test
    // that also answers its status there), on a port of the system's choice.
    explicit FakeUploadServer(ServerReply reply, ConcurrencyGauge* gauge = nullptr,
                              const std::string& address = "127.0.0.1");
    ~FakeUploadServer();  // stops the thread, closes every socket
    FakeUploadServer(const FakeUploadServer&) = delete;
    FakeUploadServer& operator=(const FakeUploadServer&) = delete;

    std::string Address() const;  // "ADDRESS:PORT"
    int Connections() const { return connections_.load(); }
    // Uploads served so far, in order.
    std::vector<ReceivedUpload> Received();

  private:
    void Serve();
    void Handle(qd::UniqueFd conn);

    void HoldForGauge();

    ServerReply reply_;
    ConcurrencyGauge* gauge_;
    qd::UniqueFd listener_;
    std::string address_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<ReceivedUpload> received_;
    std::thread thread_;
};

}  // namespace qdtest

#endif  // QD_TEST_FAKE_UPLOAD_SERVER_H
