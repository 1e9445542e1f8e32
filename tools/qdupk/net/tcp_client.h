// A non-blocking TCP client with time-outs on every wait: connect, send
// everything, receive a fixed number of bytes. Interrupted calls are
// resumed, partial sends continued, and a closed peer never raises SIGPIPE.
#ifndef QDUPK_TOOL_TCP_CLIENT_H
#define QDUPK_TOOL_TCP_CLIENT_H

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

#include "cli_values.h"
#include "qd_owners.h"

namespace qdupk {

enum class NetFailure {
    kConnect,  // name not resolved, refused, unreachable, connect time-out
    kClosed,   // the peer closed or reset the connection
    kTimeout,  // no progress within the time-out
    kOther,    // any other socket error
};

class TcpError : public std::runtime_error {
  public:
    TcpError(NetFailure kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    NetFailure kind() const { return kind_; }

  private:
    NetFailure kind_;
};

// Connects to the first IPv4 address of host that accepts within the
// time-out. The descriptor is non-blocking.
qd::UniqueFd ConnectTcp(const HostPort& target, Millis timeout);

// Sends all bytes; throws kTimeout when the peer takes nothing for `stall`.
void SendAll(int fd, const unsigned char* data, std::size_t size, Millis stall);

// Receives up to `size` bytes, returning how many came before the peer
// closed. `tick` runs about once a second while nothing arrives; throws
// kTimeout when `size` bytes have not come within the time-out.
std::size_t ReceiveExact(int fd, unsigned char* data, std::size_t size, Millis timeout,
                         const std::function<void(Millis waited)>& tick);

}  // namespace qdupk

#endif  // QDUPK_TOOL_TCP_CLIENT_H
