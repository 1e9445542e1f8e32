// Multicast search service: the socket, the search packet and its answer.
#include "discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "monotonic.h"
#include "netif.h"
#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_status.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "shell_command.h"
#include "startup.h"
#include "status_responder.h"

namespace {

constexpr std::size_t kNetmaskTextMax = 16;
constexpr int kMulticastTtl = 100;
constexpr const char* kMulticastRouteCmd = "route add -net 224.0.0.0 netmask 224.0.0.0 dev eth0";
// While eth0 has no address each answer sets the MAC address again; a flood
// of searches must not become a flood of shells.
constexpr long long kMacIntervalMs = 2000;

enum { kNoSocket = -1, kBindFailed = -2, kJoinFailed = -3 };

std::uint32_t SearchGroup() noexcept {
    in_addr group{};
    static_cast<void>(inet_pton(AF_INET, qd::kSearchGroup, &group));
    return group.s_addr;
}

bool JoinGroup(int fd, std::uint32_t groupAddr) noexcept {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = groupAddr;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
}

bool BindSearchPort(int fd) noexcept {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(qd::kSearchPort);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

void ApplyMacAddressAtMostEvery2s(const char* szMacAddr) noexcept {
    static bool s_applied = false;
    static long long s_lastMs = 0;
    const long long now = MonotonicMs();
    if (s_applied && now - s_lastMs < kMacIntervalMs) {
        return;
    }
    s_applied = true;
    s_lastMs = now;
    ApplyMacAddress(szMacAddr);
}

// eth0's address, or the fallback text when it has none; a camera without
// an address sets its MAC address again before such answers.
void GetAnnouncedAddress(const QDBOOT_CFG_T& cfg,
                         char (&address)[qd::kSearchAddressSize]) noexcept {
    char netmask[kNetmaskTextMax];
    if (QueryEthIPAddr(address, sizeof address, netmask) != 0) {
        ApplyMacAddressAtMostEvery2s(cfg.szMacAddr);
        static_cast<void>(qd::CopyText(address, kFallbackAddress));  // fits
    }
}

void ReadDestination(msghdr& message, DatagramOrigin* origin) noexcept {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            origin->destination = ntohl(info.ipi_addr.s_addr);
            origin->destinationKnown = true;
        }
    }
}

// One datagram without waiting (also when a readiness report yields
// nothing): its real length (MSG_TRUNC), however much of it fitted, or -1.
ssize_t ReceiveDatagram(int fd, unsigned char* buffer, std::size_t size,
                        DatagramOrigin* origin) noexcept {
    sockaddr_in from{};
    iovec part = {buffer, size};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
    origin->sender = ntohl(from.sin_addr.s_addr);
    origin->senderPort = ntohs(from.sin_port);
    if (got >= 0) {
        ReadDestination(message, origin);
    }
    return got;
}

// Answers a search; after a failed answer the socket is replaced and the
// answer sent once more on the new one.
int AnswerSearch(int fd, unsigned char* packet, const QDBOOT_CFG_T& cfg) noexcept {
    if (search_send_data(fd, packet, cfg) >= 0) {
        return fd;
    }
    const std::uint32_t group = SearchGroup();
    ff_url_leave_multicast_group(fd, group);
    ::close(fd);
    const int replacement = ff_url_createmulticast(group);
    // One more try on the new socket; its outcome changes nothing. Without a
    // socket there is nothing to send on.
    if (replacement > 0) {
        static_cast<void>(search_send_data(replacement, packet, cfg));
    }
    return replacement;
}

}  // namespace

int ff_url_createmulticast(std::uint32_t groupAddr) noexcept {
    // Close-on-exec: the scripts and tools the daemon runs must not keep the
    // service's sockets.
    qd::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        return kNoSocket;
    }
    if (!BindSearchPort(sock.get())) {
        return kBindFailed;
    }
    if (!JoinGroup(sock.get(), groupAddr)) {
        // Joining on "any interface" needs a route to the group; the second
        // join's result is the one that counts.
        static_cast<void>(qd::RunCommand(kMulticastRouteCmd));
        if (!JoinGroup(sock.get(), groupAddr)) {
            return kJoinFailed;
        }
    }
    const int ttl = kMulticastTtl;
    static_cast<void>(::setsockopt(sock.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl));
    // Each datagram's header destination: a status query is answered only
    // when it was sent to eth0's own address. Without it none is answered.
    const int pktinfo = 1;
    static_cast<void>(::setsockopt(sock.get(), IPPROTO_IP, IP_PKTINFO, &pktinfo, sizeof pktinfo));
    return sock.release();
}

void ff_url_leave_multicast_group(int fd, std::uint32_t groupAddr) noexcept {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = groupAddr;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    static_cast<void>(::setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request));
}

bool IsSearchPacket(const unsigned char* packet) noexcept {
    return qd::LoadLe32(packet) == qd::kSearchMagic;
}

void FillSearchAnswer(unsigned char* packet, const char* szIpAddr, std::uint16_t nPort) noexcept {
    qd::StoreLe32(packet + qd::kSearchPortOffset, nPort);
    char text[qd::kSearchAddressSize];
    // The field holds a dotted IPv4 address, which always fits; anything
    // longer is cut to the field rather than spilling over the packet.
    static_cast<void>(qd::CopyText(text, szIpAddr));
    std::memcpy(packet + qd::kSearchAddressOffset, text, std::strlen(text) + 1);
}

int search_send_data(int fd, unsigned char* packet, const QDBOOT_CFG_T& cfg) noexcept {
    char address[qd::kSearchAddressSize];
    GetAnnouncedAddress(cfg, address);
    FillSearchAnswer(packet, address, cfg.nPort);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(qd::kAnswerPort);
    static_cast<void>(inet_pton(AF_INET, qd::kSearchGroup, &group.sin_addr));
    return static_cast<int>(::sendto(fd, packet, qd::kSearchPacketSize, 0,
                                     reinterpret_cast<const sockaddr*>(&group), sizeof group));
}

int search_handle_datagram(int fd, const QDBOOT_CFG_T& cfg) noexcept {
    return search_handle_datagram(fd, cfg, nullptr);
}

int search_handle_datagram(int fd, const QDBOOT_CFG_T& cfg, StatusResponder* status) noexcept {
    // Room for the largest status query and one byte more; the real length
    // tells a longer datagram apart.
    unsigned char packet[qd::kStatusQueryMaxSize + 1] = {};
    DatagramOrigin origin{};
    const ssize_t got = ReceiveDatagram(fd, packet, sizeof packet, &origin);
    if (got < 0) {
        return fd;
    }
    // A search is its first 76 bytes, however long the datagram.
    if (static_cast<std::size_t>(got) < qd::kSearchPacketSize || !IsSearchPacket(packet)) {
        if (status != nullptr) {
            status->Handle(fd, packet, static_cast<std::size_t>(got), origin);
        }
        return fd;
    }
    return AnswerSearch(fd, packet, cfg);
}

MulticastSocket::~MulticastSocket() {
    Close();
}

bool MulticastSocket::Open() noexcept {
    Close();
    fd_ = ff_url_createmulticast(SearchGroup());
    return valid();
}

void MulticastSocket::HandleDatagram(const QDBOOT_CFG_T& cfg, StatusResponder* status) noexcept {
    // A replaced socket has already left the group and been closed.
    fd_ = search_handle_datagram(fd_, cfg, status);
}

void MulticastSocket::Close() noexcept {
    if (valid()) {
        ff_url_leave_multicast_group(fd_, SearchGroup());
        static_cast<void>(::close(fd_));
    }
    fd_ = kNoSocket;
}
