#include "rollout_return.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace qdupk {

namespace {

constexpr int kMaxAnswersAtOnce = 256;

}  // namespace

ReturnWatch::ReturnWatch(TimePoint acknowledged, Millis limit)
    : deadline_(acknowledged + limit), nextProbe_(acknowledged) {}

bool ReturnWatch::ProbeDue(TimePoint now) {
    if (back_ || now < nextProbe_ || now >= deadline_) {
        return false;
    }
    if (probing_ && !answered_) {
        wentDown_ = true;
    }
    probing_ = true;
    answered_ = false;
    nextProbe_ = now + kProbeInterval;
    return true;
}

void ReturnWatch::Answered(TimePoint now) {
    if (!probing_ || now >= deadline_) {
        return;
    }
    answered_ = true;
    back_ = back_ || wentDown_;
}

ReturnWatch::Verdict ReturnWatch::verdict(TimePoint now) const {
    if (back_) {
        return Verdict::kBack;
    }
    return now >= deadline_ ? Verdict::kNotBack : Verdict::kWaiting;
}

ReturnWatch::TimePoint ReturnWatch::NextEvent() const {
    return std::min(nextProbe_, deadline_);
}

MulticastReturnProbe::MulticastReturnProbe(const std::optional<SearchInterface>& iface)
    : fd_(OpenSearchSocket(iface)), nonce_(RandomNonce()) {}

void MulticastReturnProbe::Probe(const std::string& address) {
    const SearchPacket packet = BuildSearch(nonce_);
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_port = htons(qd::kSearchPort);
    if (inet_pton(AF_INET, address.c_str(), &camera.sin_addr) != 1) {
        return;
    }
    // A lost probe is an unanswered one; the next comes a second later.
    (void)sendto(fd_.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&camera), sizeof camera);
}

std::vector<std::string> MulticastReturnProbe::Answers() {
    std::vector<std::string> addresses;
    std::optional<CameraReply> reply;
    // Bounded, so a flood of foreign datagrams cannot hold the uploads up.
    for (int i = 0; i < kMaxAnswersAtOnce && ReceiveReply(fd_.get(), nonce_, reply); ++i) {
        if (!reply) {
            continue;
        }
        addresses.push_back(reply->address);
        if (reply->announced != reply->address) {
            addresses.push_back(reply->announced);
        }
    }
    return addresses;
}

std::unique_ptr<MulticastReturnProbe> OpenReturnProbe(
    const std::vector<std::optional<qd::StatusReport>>& before, const std::string& interface) {
    const bool older = std::any_of(before.begin(), before.end(),
                                   [](const auto& report) { return !report.has_value(); });
    if (!older) {
        return nullptr;
    }
    std::optional<SearchInterface> iface;
    if (!interface.empty()) {
        iface = ResolveInterface(interface);
    }
    return std::make_unique<MulticastReturnProbe>(iface);
}

}  // namespace qdupk
