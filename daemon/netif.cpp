// Interface queries on eth0 through a throw-away datagram socket.
#include "netif.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include "qd_owners.h"
#include "qd_text.h"
#include "qdboot_config.h"

namespace {

constexpr const char* kEthName = "eth0";
constexpr const char* kNoAddress = "0.0.0.0";
constexpr std::size_t kNetmaskSize = 16;

// The dotted text of the IPv4 address an interface request returned.
bool FormatIfAddr(const ifreq& request, char* text, std::size_t size) noexcept {
    sockaddr_in addr{};
    std::memcpy(&addr, &request.ifr_addr, sizeof addr);
    return inet_ntop(AF_INET, &addr.sin_addr, text, static_cast<socklen_t>(size)) != nullptr;
}

}  // namespace

int QueryEthIPAddr(char* szIpAddr, std::size_t ipSize, char* szNetmask) noexcept {
    // The other copies here fit their arrays (constants, or dotted text of
    // at most 15 characters). An address array too small for even the
    // placeholder is left terminated, and the address query fails for it.
    static_cast<void>(qd::CopyText(szIpAddr, ipSize, kNoAddress));
    if (szNetmask != nullptr) {
        static_cast<void>(qd::CopyText(szNetmask, kNetmaskSize, kNoAddress));
    }
    const qd::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        return -1;
    }
    ifreq request{};
    static_cast<void>(qd::CopyText(request.ifr_name, sizeof request.ifr_name, kEthName));
    if (::ioctl(sock.get(), SIOCGIFADDR, &request) != 0 ||
        !FormatIfAddr(request, szIpAddr, ipSize)) {
        return -1;
    }
    if (::ioctl(sock.get(), SIOCGIFNETMASK, &request) != 0) {
        return -1;
    }
    char netmask[kNetmaskSize];
    if (!FormatIfAddr(request, netmask, sizeof netmask)) {
        return -1;
    }
    if (szNetmask != nullptr) {
        static_cast<void>(qd::CopyText(szNetmask, kNetmaskSize, netmask));
    }
    return 0;
}

int GetEthIPAddr(char* szNetmask) noexcept {
    return QueryEthIPAddr(stQdbootCfg.szIpAddr, sizeof stQdbootCfg.szIpAddr, szNetmask);
}
