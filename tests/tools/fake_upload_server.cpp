#include "fake_upload_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "qd_bytes.h"
#include "qd_wire.h"

namespace qdtest {

namespace {

constexpr int kPollMs = 50;

// Reads exactly `size` bytes unless the peer closes or the server stops.
bool ReadExact(int fd, unsigned char* data, std::size_t size, const std::atomic<bool>& stop) {
    std::size_t done = 0;
    while (done < size && !stop) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t got = recv(fd, data + done, size - done, 0);
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return done == size;
}

void WaitForClientClose(int fd, const std::atomic<bool>& stop) {
    unsigned char sink[256];
    while (!stop) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

void SendAnswer(int fd, std::uint32_t result) {
    unsigned char answer[8];
    qd::StoreBe32(answer, qd::kUploadMagic);
    qd::StoreBe32(answer + 4, result);
    (void)send(fd, answer, sizeof answer, MSG_NOSIGNAL);
}

}  // namespace

FakeUploadServer::FakeUploadServer(ServerReply reply, ConcurrencyGauge* gauge,
                                   const std::string& address)
    : reply_(reply),
      gauge_(gauge),
      listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      address_(address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t size = sizeof local;
    if (!listener_.valid() || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(listener_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener_.get(), 4) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        throw std::runtime_error(std::string("fake upload server: ") + std::strerror(errno));
    }
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

FakeUploadServer::~FakeUploadServer() {
    stop_ = true;
    thread_.join();
}

std::string FakeUploadServer::Address() const {
    return address_ + ":" + std::to_string(port_);
}

std::vector<ReceivedUpload> FakeUploadServer::Received() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FakeUploadServer::Serve() {
    while (!stop_) {
        pollfd entry{listener_.get(), POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        qd::UniqueFd conn(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn.valid()) {
            ++connections_;
            Handle(std::move(conn));
        }
    }
}

void FakeUploadServer::HoldForGauge() {
    // Bounded, so a client that never opens enough fails the test's
    // assertion on the peak instead of hanging it.
    for (int i = 0; i < 200 && !stop_ && gauge_->peak < gauge_->holdUntil; ++i) {
        (void)poll(nullptr, 0, kPollMs);
    }
}

void FakeUploadServer::Handle(qd::UniqueFd conn) {
    struct Presence {
        ConcurrencyGauge* gauge;
        explicit Presence(ConcurrencyGauge* g) : gauge(g) {
            if (gauge != nullptr) {
                const int open = ++gauge->open;
                for (int peak = gauge->peak;
                     open > peak && !gauge->peak.compare_exchange_weak(peak, open);) {
                }
            }
        }
        ~Presence() { Leave(); }
        // Before the answer goes out: the client may connect elsewhere as
        // soon as it has it.
        void Leave() {
            if (gauge != nullptr) {
                --gauge->open;
                gauge = nullptr;
            }
        }
        Presence(const Presence&) = delete;
        Presence& operator=(const Presence&) = delete;
    } presence(gauge_);
    ReceivedUpload upload;
    upload.header.resize(8);
    if (!ReadExact(conn.get(), upload.header.data(), 8, stop_)) {
        return;
    }
    if (reply_ == ServerReply::kStall) {
        // Nothing is read, so the client's sends stop once the buffers fill.
        while (!stop_) {
            (void)poll(nullptr, 0, kPollMs);
        }
        return;
    }
    if (reply_ != ServerReply::kCloseEarly) {
        upload.body.resize(qd::LoadBe32(upload.header.data() + 4));
        if (!ReadExact(conn.get(), upload.body.data(), upload.body.size(), stop_)) {
            return;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(upload);
    }
    if (gauge_ != nullptr) {
        HoldForGauge();
    }
    presence.Leave();
    switch (reply_) {
        case ServerReply::kAck:
            SendAnswer(conn.get(), 0);
            break;
        case ServerReply::kFailureResult:
            SendAnswer(conn.get(), 0xFFFFFFFF);
            break;
        case ServerReply::kSilent:
            WaitForClientClose(conn.get(), stop_);
            break;
        case ServerReply::kClose:
        case ServerReply::kCloseEarly:
        case ServerReply::kStall:
            break;
    }
}

}  // namespace qdtest
