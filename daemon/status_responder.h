// The status query's responder on the search socket: which queries are
// answered, how often, and with what. A reply goes back to the query's
// sender, so the rules keep the camera from amplifying or reflecting: only
// a query sent by unicast to eth0's own address, from a sender on eth0's
// subnet, never a reply larger than the query, and at most
// kStatusRepliesPerWindow replies in any kStatusWindowMs, all senders
// together; the rest are dropped without a word.
#ifndef STATUS_RESPONDER_H
#define STATUS_RESPONDER_H

#include <cstddef>
#include <cstdint>

#include "camera_status.h"
#include "qd_status.h"

constexpr std::size_t kStatusRepliesPerWindow = 10;
constexpr long long kStatusWindowMs = 1000;

// Where a datagram came from and where its header sent it (IP_PKTINFO).
// Addresses in host byte order.
struct DatagramOrigin {
    std::uint32_t sender;
    std::uint16_t senderPort;
    std::uint32_t destination;
    bool destinationKnown;
};

// eth0's address and netmask, host byte order; address 0 when it has none.
struct EthSubnet {
    std::uint32_t address;
    std::uint32_t netmask;
};

// eth0's address and netmask as the interface reports them now.
EthSubnet QueryEthSubnet() noexcept;

// Whether the `size` bytes (the datagram's real length) are a status
// query that may be answered: its magic and size, sent to eth0's own
// address, from a port and an address on eth0's subnet that is neither
// eth0's own nor the subnet's network or broadcast address. The rate limit
// is not judged here.
bool StatusQueryAnswerable(const unsigned char* packet, std::size_t size,
                           const DatagramOrigin& origin, const EthSubnet& eth) noexcept;

// At most kStatusRepliesPerWindow replies in any kStatusWindowMs, told the
// time of each wish to reply.
class StatusRateLimit {
  public:
    // True, and counted, when a reply at `nowMs` stays within the limit.
    bool Allow(long long nowMs) noexcept;

  private:
    long long sent_[kStatusRepliesPerWindow] = {};  // the last replies' times, a ring
    std::size_t next_ = 0;                          // the oldest once the ring is full
    std::size_t count_ = 0;
};

// The whole decision for one datagram that is no search: the size of the
// reply placed in `reply` (kStatusReplySize, never more than `size`) to
// send back to the sender, or 0 to drop it. A slot of `limit` is used only
// by a query that may be answered.
std::size_t PlanStatusReply(const unsigned char* packet, std::size_t size,
                            const DatagramOrigin& origin, const EthSubnet& eth,
                            StatusRateLimit& limit, const CameraStatus& status, long long nowMs,
                            unsigned char (&reply)[qd::kStatusReplySize]) noexcept;

class StatusResponder {
  public:
    explicit StatusResponder(const CameraStatus& status) noexcept : status_(status) {}

    // One datagram that is no search, received on the search socket `fd`:
    // answered back to its sender when PlanStatusReply says so. A reply
    // that cannot be sent is forgotten; the socket is not rebuilt for it.
    void Handle(int fd, const unsigned char* packet, std::size_t size,
                const DatagramOrigin& origin) noexcept;

  private:
    const CameraStatus& status_;
    StatusRateLimit limit_;
};

#endif  // STATUS_RESPONDER_H
