// The discovery responder: upgrade tools find the camera by multicasting a
// search to the group, and learn its address and upload port from the
// answer, multicast to the same group; group, ports and packet layout are
// in qd_wire.h.
#ifndef DISCOVERY_H
#define DISCOVERY_H

#include <cstdint>

#include "qdboot_config.h"

class StatusResponder;

// Announced while eth0 has no address; the interface itself is not given it.
constexpr const char* kFallbackAddress = "192.168.5.163";

// Opens the multicast socket: bound to any address on 54362, joined to the
// group (network byte order) on any interface, time-to-live 100, each
// datagram's header destination reported (IP_PKTINFO). A failed
// join runs "route add -net 224.0.0.0 netmask 224.0.0.0 dev eth0" and is
// tried once more. The descriptor; -1 no socket, -2 bind failed, -3 join
// failed twice.
int ff_url_createmulticast(std::uint32_t groupAddr) noexcept;

// Leaves the group on any interface; the outcome is not examined.
void ff_url_leave_multicast_group(int fd, std::uint32_t groupAddr) noexcept;

// True when the first four bytes carry the search magic.
bool IsSearchPacket(const unsigned char* packet) noexcept;

// Turns a search into its answer in place: port at 8, address text at 12.
void FillSearchAnswer(unsigned char* packet, const char* szIpAddr, std::uint16_t nPort) noexcept;

// Asks eth0 for the address to announce (or takes the fallback text, after
// applying cfg's MAC address again at most once per 2 seconds), fills it and
// cfg's upload port into the 76-byte search in `packet` and sends it to the
// group's answer port. The bytes sent (76), or a negative value when the
// send failed.
int search_send_data(int fd, unsigned char* packet, const QDBOOT_CFG_T& cfg) noexcept;

// Handles one readable datagram on the multicast socket `fd`: a valid search
// (76 bytes or longer, its first 76 taken) is answered, anything else goes
// to `status` (none: dropped). After a failed answer to a search the socket
// is replaced and the answer sent once more. Returns the descriptor to use
// from now on: `fd`, the new one, or the negative code of a failed
// re-creation.
int search_handle_datagram(int fd, const QDBOOT_CFG_T& cfg) noexcept;
int search_handle_datagram(int fd, const QDBOOT_CFG_T& cfg, StatusResponder* status) noexcept;

// Owns the daemon's multicast socket on the search group: when it is
// replaced or its owner goes, the group is left and the socket closed.
class MulticastSocket {
  public:
    MulticastSocket() noexcept = default;
    ~MulticastSocket();
    MulticastSocket(const MulticastSocket&) = delete;
    MulticastSocket& operator=(const MulticastSocket&) = delete;

    // Opens a socket (ff_url_createmulticast) in place of any held one;
    // true when there is one now.
    bool Open() noexcept;
    bool valid() const noexcept { return fd_ > 0; }
    // The descriptor, or while there is none the negative creation code.
    int fd() const noexcept { return fd_; }
    // Handles one readable datagram (search_handle_datagram), taking over
    // the socket that replaces a failed one, or its creation code.
    void HandleDatagram(const QDBOOT_CFG_T& cfg, StatusResponder* status) noexcept;

  private:
    void Close() noexcept;

    int fd_ = -1;
};

#endif  // DISCOVERY_H
