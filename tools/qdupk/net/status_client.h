// The status query on the host: one UDP socket asks cameras how they are
// (qd_status.h) by unicast to each one's search port, and takes a reply
// only from the camera's own address and port with this run's nonce, so a
// stray datagram or another tool's answer never passes for a camera's.
#ifndef QDUPK_TOOL_STATUS_CLIENT_H
#define QDUPK_TOOL_STATUS_CLIENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli_values.h"
#include "qd_owners.h"
#include "qd_status.h"

namespace qdupk {

struct StatusAnswer {
    std::string address;  // dotted decimal, as asked
    qd::StatusReport report;
};

class StatusClient {
  public:
    // Throws Error when no UDP socket can be opened.
    StatusClient();

    // Readable when replies wait.
    int Descriptor() const { return fd_.get(); }
    // One query to `address` (dotted decimal) at UDP 54362; false when the
    // address is none or the query could not be sent. A lost query is a
    // silent camera: callers ask again.
    bool Ask(const std::string& address);
    // The valid replies that waited, read without blocking (a bounded
    // number, so a flood of datagrams cannot hold the caller up).
    std::vector<StatusAnswer> Replies();

  private:
    qd::UniqueFd fd_;
    std::uint32_t nonce_;
};

// Time to wait for status answers unless told otherwise.
constexpr Millis kStatusTimeout{2000};

// Asks every address, and again the ones still silent twice more within
// `timeout`; the report of each (in the order given), or nullopt for a
// camera that stayed silent or an address that is empty.
std::vector<std::optional<qd::StatusReport>> AskEach(StatusClient& client,
                                                     const std::vector<std::string>& addresses,
                                                     Millis timeout = kStatusTimeout);

}  // namespace qdupk

#endif  // QDUPK_TOOL_STATUS_CLIENT_H
