#include "fake_status_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "qd_text.h"
#include "qd_wire.h"

namespace qdtest {

namespace {

constexpr int kPollMs = 50;

qd::UniqueFd BoundUdp(const std::string& address) {
    qd::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(qd::kSearchPort);
    if (!fd.valid() || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("fake status camera on " + address + ": " + std::strerror(errno));
    }
    return fd;
}

}  // namespace

qd::StatusReport Report(const char* state, const char* identity, std::uint32_t uptime) {
    qd::StatusReport report;
    report.full = true;
    report.uptime = uptime;
    (void)qd::CopyText(report.version, sizeof report.version, "9.9.9");
    (void)qd::CopyText(report.device, sizeof report.device, "IPC-D100");
    (void)qd::CopyText(report.state, sizeof report.state, state);
    (void)qd::CopyText(report.slot, sizeof report.slot, "a");
    (void)qd::CopyText(report.name, sizeof report.name, "fleet");
    (void)qd::CopyText(report.pkgVersion, sizeof report.pkgVersion, "2.0");
    (void)qd::CopyText(report.identity, sizeof report.identity, identity);
    (void)qd::CopyText(report.lastIdentity, sizeof report.lastIdentity, identity);
    report.lastResult = qd::kStatusInstalled;
    (void)qd::CopyText(report.lastText, sizeof report.lastText, "installed");
    return report;
}

FakeStatusCamera::FakeStatusCamera(const std::string& address, StatusAnswerFn answer,
                                   StatusMisbehaviour how)
    : answer_(std::move(answer)), how_(std::move(how)), fd_(BoundUdp(address)) {
    if (!how_.replyFrom.empty()) {
        replyFd_ = BoundUdp(how_.replyFrom);
    }
    thread_ = std::thread([this] { Serve(); });
}

FakeStatusCamera::~FakeStatusCamera() {
    stop_ = true;
    thread_.join();
}

void FakeStatusCamera::Serve() {
    while (!stop_) {
        pollfd entry{fd_.get(), POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        unsigned char packet[qd::kStatusQueryMaxSize + 1];
        sockaddr_in asker{};
        socklen_t size = sizeof asker;
        const ssize_t got = recvfrom(fd_.get(), packet, sizeof packet, 0,
                                     reinterpret_cast<sockaddr*>(&asker), &size);
        if (got > 0 && qd::IsStatusQuery(packet, static_cast<std::size_t>(got))) {
            ++queries_;
            Answer(packet, asker);
        }
    }
}

void FakeStatusCamera::Answer(const unsigned char* query, const sockaddr_in& asker) {
    const std::optional<qd::StatusReport> report = answer_();
    if (!report) {
        return;
    }
    const std::uint32_t nonce = qd::LoadLe32(query + qd::kStatusNonceOffset);
    unsigned char reply[qd::kStatusReplySize];
    qd::EncodeStatusReply(*report, how_.wrongNonce ? nonce + 1 : nonce, reply);
    const int from = replyFd_.valid() ? replyFd_.get() : fd_.get();
    (void)sendto(from, reply, sizeof reply, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&asker),
                 sizeof asker);
}

}  // namespace qdtest
