#include "search_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "qd_owners.h"

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;

// Room for more than one packet, so an oversized datagram shows as such.
constexpr std::size_t kReceiveBuffer = 2 * qd::kSearchPacketSize;

struct IfaddrsFree {
    void operator()(ifaddrs* list) const noexcept { freeifaddrs(list); }
};
using IfaddrsPtr = std::unique_ptr<ifaddrs, IfaddrsFree>;

[[noreturn]] void ThrowErrno(const std::string& what, const std::string& hint = "") {
    throw Error(what + ": " + std::strerror(errno) + hint);
}

IfaddrsPtr InterfaceList() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        ThrowErrno("cannot list the network interfaces");
    }
    return IfaddrsPtr(list);
}

in_addr Ipv4Of(const ifaddrs& entry) {
    return reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr;
}

bool HasIpv4(const ifaddrs& entry) {
    return entry.ifa_addr != nullptr && entry.ifa_addr->sa_family == AF_INET;
}

std::optional<SearchInterface> FindByName(const ifaddrs* list, const std::string& name) {
    for (const ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
        if (HasIpv4(*p) && name == p->ifa_name) {
            return SearchInterface{name, if_nametoindex(p->ifa_name), Ipv4Of(*p)};
        }
    }
    return std::nullopt;
}

std::optional<SearchInterface> FindByAddress(const ifaddrs* list, in_addr address) {
    for (const ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
        if (HasIpv4(*p) && Ipv4Of(*p).s_addr == address.s_addr) {
            return SearchInterface{p->ifa_name, if_nametoindex(p->ifa_name), address};
        }
    }
    return std::nullopt;
}

sockaddr_in Endpoint(in_addr address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

in_addr GroupAddress() {
    in_addr group{};
    (void)inet_pton(AF_INET, qd::kSearchGroup, &group);
    return group;
}

ip_mreqn Membership(const std::optional<SearchInterface>& iface) {
    ip_mreqn request{};
    request.imr_multiaddr = GroupAddress();
    if (iface) {
        request.imr_address = iface->address;
        request.imr_ifindex = static_cast<int>(iface->index);
    }
    return request;
}

std::string NoRouteHint(const std::optional<SearchInterface>& iface) {
    return iface ? std::string() : " (no multicast route? name the interface with --interface)";
}

bool SendSearch(int fd, std::uint32_t nonce) {
    const SearchPacket packet = BuildSearch(nonce);
    const sockaddr_in group = Endpoint(GroupAddress(), qd::kSearchPort);
    ssize_t sent = -1;
    do {
        sent = sendto(fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&group), sizeof group);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(packet.size());
}

void ReceiveOne(int fd, std::uint32_t nonce, const HostAddresses& host, SearchResult& result) {
    std::optional<CameraReply> reply;
    if (!ReceiveReply(fd, nonce, reply) || !reply) {
        return;
    }
    if (const char* why = SourceProblem(reply->address, host)) {
        result.ignored.Add(reply->address, why);
    } else {
        (void)result.cameras.Add(*reply);
    }
}

std::uint32_t RawIpv4(const sockaddr* address) {
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

void AddHostAddresses(const ifaddrs& entry, HostAddresses& host) {
    host.own.push_back(RawIpv4(entry.ifa_addr));
    const sockaddr* broadcast = entry.ifa_broadaddr;
    if ((entry.ifa_flags & IFF_BROADCAST) != 0 && broadcast != nullptr &&
        broadcast->sa_family == AF_INET) {
        host.broadcast.push_back(RawIpv4(broadcast));
    }
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

qd::UniqueFd OpenSearchSocket(const std::optional<SearchInterface>& iface) {
    qd::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        ThrowErrno("cannot open a UDP socket");
    }
    // Other tools on this host may listen for answers on the same port.
    const int on = 1;
    (void)setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = Endpoint(in_addr{htonl(INADDR_ANY)}, qd::kAnswerPort);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ThrowErrno("cannot bind UDP port " + std::to_string(qd::kAnswerPort));
    }
    const ip_mreqn membership = Membership(iface);
    if (setsockopt(fd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        ThrowErrno(std::string("cannot join ") + qd::kSearchGroup, NoRouteHint(iface));
    }
    if (iface &&
        setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &membership, sizeof membership) != 0) {
        ThrowErrno("cannot send on interface " + iface->name);
    }
    return fd;
}

// Anything that is not a valid answer to this search is dropped.
bool ReceiveReply(int fd, std::uint32_t nonce, std::optional<CameraReply>& reply) {
    reply.reset();
    unsigned char buffer[kReceiveBuffer];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t size = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (size < 0) {
        // EINTR, EAGAIN, or an ICMP error from an earlier send
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    char source[INET_ADDRSTRLEN] = "";
    (void)inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    reply = ParseReply(buffer, static_cast<std::size_t>(size), nonce, source);
    return true;
}

SearchInterface ResolveInterface(const std::string& nameOrAddress) {
    const IfaddrsPtr list = InterfaceList();
    in_addr address{};
    if (inet_pton(AF_INET, nameOrAddress.c_str(), &address) == 1) {
        if (auto found = FindByAddress(list.get(), address)) {
            return *found;
        }
        throw Error("no interface of this host has the address " + nameOrAddress);
    }
    if (auto found = FindByName(list.get(), nameOrAddress)) {
        return *found;
    }
    if (if_nametoindex(nameOrAddress.c_str()) != 0) {
        throw Error("interface " + nameOrAddress + " has no IPv4 address");
    }
    throw Error("no interface named " + nameOrAddress);
}

HostAddresses LocalAddresses() {
    const IfaddrsPtr list = InterfaceList();
    HostAddresses host;
    for (const ifaddrs* p = list.get(); p != nullptr; p = p->ifa_next) {
        if (HasIpv4(*p)) {
            AddHostAddresses(*p, host);
        }
    }
    return host;
}

SearchResult SearchCameras(const SearchOptions& options) {
    const HostAddresses host = LocalAddresses();
    const qd::UniqueFd fd = OpenSearchSocket(options.iface);
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + options.timeout;
    Clock::time_point resend = start + options.timeout / 2;
    if (!SendSearch(fd.get(), options.nonce)) {
        ThrowErrno("cannot send the search", NoRouteHint(options.iface));
    }
    SearchResult result{CameraList(options.maxAnswers), {}};
    for (int left = RemainingMs(deadline); left > 0; left = RemainingMs(deadline)) {
        if (resend <= Clock::now()) {
            // Only a second chance: the first search went out.
            (void)SendSearch(fd.get(), options.nonce);
            resend = Clock::time_point::max();
        }
        pollfd entry{fd.get(), POLLIN, 0};
        const int untilResend = resend == Clock::time_point::max() ? left : RemainingMs(resend) + 1;
        const int waitMs = std::min(left, untilResend);
        if (poll(&entry, 1, waitMs) > 0) {
            ReceiveOne(fd.get(), options.nonce, host, result);
        }
    }
    return result;
}

std::uint32_t RandomNonce() {
    std::random_device source;
    return static_cast<std::uint32_t>(source());
}

}  // namespace qdupk
