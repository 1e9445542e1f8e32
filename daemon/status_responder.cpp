// Status queries: judged without the network, answered with one sendto.
#include "status_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "monotonic.h"
#include "netif.h"
#include "qd_bytes.h"

namespace {

constexpr std::size_t kAddressTextSize = 16;

std::uint32_t HostOrder(const char* dotted) noexcept {
    in_addr addr{};
    return inet_pton(AF_INET, dotted, &addr) == 1 ? ntohl(addr.s_addr) : 0;
}

// A sender the camera may answer: on eth0's subnet, and a host of it.
bool OnSubnet(std::uint32_t sender, const EthSubnet& eth) noexcept {
    if (sender == eth.address || (sender & eth.netmask) != (eth.address & eth.netmask)) {
        return false;
    }
    // A /31 has no network or broadcast address; a /32 no other host.
    const std::uint32_t hostBits = ~eth.netmask;
    const std::uint32_t host = sender & hostBits;
    return hostBits <= 1 || (host != 0 && host != hostBits);
}

}  // namespace

EthSubnet QueryEthSubnet() noexcept {
    char address[kAddressTextSize];
    char netmask[kAddressTextSize];
    if (QueryEthIPAddr(address, sizeof address, netmask) != 0) {
        return EthSubnet{0, 0};
    }
    return EthSubnet{HostOrder(address), HostOrder(netmask)};
}

bool StatusQueryAnswerable(const unsigned char* packet, std::size_t size,
                           const DatagramOrigin& origin, const EthSubnet& eth) noexcept {
    if (!qd::IsStatusQuery(packet, size) || eth.address == 0) {
        return false;
    }
    // Sent to the group or a broadcast address, it would be answered by
    // every camera at once.
    if (!origin.destinationKnown || origin.destination != eth.address) {
        return false;
    }
    return origin.senderPort != 0 && OnSubnet(origin.sender, eth);
}

bool StatusRateLimit::Allow(long long nowMs) noexcept {
    if (count_ == kStatusRepliesPerWindow && nowMs - sent_[next_] < kStatusWindowMs) {
        return false;
    }
    sent_[next_] = nowMs;
    next_ = (next_ + 1) % kStatusRepliesPerWindow;
    count_ += count_ < kStatusRepliesPerWindow ? 1 : 0;
    return true;
}

std::size_t PlanStatusReply(const unsigned char* packet, std::size_t size,
                            const DatagramOrigin& origin, const EthSubnet& eth,
                            StatusRateLimit& limit, const CameraStatus& status, long long nowMs,
                            unsigned char (&reply)[qd::kStatusReplySize]) noexcept {
    if (!StatusQueryAnswerable(packet, size, origin, eth) || !limit.Allow(nowMs)) {
        return 0;
    }
    const std::uint32_t nonce = qd::LoadLe32(packet + qd::kStatusNonceOffset);
    qd::EncodeStatusReply(BuildStatusReport(status, nowMs), nonce, reply);
    return sizeof reply;
}

void StatusResponder::Handle(int fd, const unsigned char* packet, std::size_t size,
                             const DatagramOrigin& origin) noexcept {
    // Anything else is dropped before eth0 is asked about it.
    if (!qd::IsStatusQuery(packet, size)) {
        return;
    }
    unsigned char reply[qd::kStatusReplySize];
    const std::size_t length = PlanStatusReply(packet, size, origin, QueryEthSubnet(), limit_,
                                               status_, MonotonicMs(), reply);
    if (length == 0) {
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(origin.sender);
    to.sin_port = htons(origin.senderPort);
    static_cast<void>(::sendto(fd, reply, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to));
}
