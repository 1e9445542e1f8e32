// The socket side of `qdupk search`: the interface to search on, the
// multicast search itself and the collection of answers.
#ifndef QDUPK_TOOL_SEARCH_SOCKET_H
#define QDUPK_TOOL_SEARCH_SOCKET_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli_values.h"
#include "discovery.h"
#include "errors.h"
#include "qd_owners.h"

namespace qdupk {

struct SearchInterface {
    std::string name;
    unsigned index = 0;
    in_addr address{};
};

// An interface name ("eth0") or one of this host's IPv4 addresses; throws
// Error when no such interface exists or it has no IPv4 address.
SearchInterface ResolveInterface(const std::string& nameOrAddress);

struct SearchOptions {
    std::optional<SearchInterface> iface;  // none: wherever the route for the group leads
    Millis timeout{3000};
    std::uint32_t nonce = 0;
    std::size_t maxAnswers = kDefaultMaxAnswers;
};

// This host's addresses, for SourceProblem. Throws Error.
HostAddresses LocalAddresses();

// Sends the search (once at the start and once more half-way, in case the
// first datagram was lost) and collects valid answers until the time-out;
// answers from sources no camera can have are ignored, and those beyond
// maxAnswers cameras dropped. Throws Error when the socket cannot be
// set up or the search not sent.
SearchResult SearchCameras(const SearchOptions& options);

// The socket a search is sent from and answers arrive on: the answer port,
// joined to the group on the interface. Throws Error.
qd::UniqueFd OpenSearchSocket(const std::optional<SearchInterface>& iface);

// Reads one waiting datagram without blocking; false when none waited.
// `reply` then holds it if it is a valid answer carrying `nonce`.
bool ReceiveReply(int fd, std::uint32_t nonce, std::optional<CameraReply>& reply);

// A nonce that differs between runs, so parallel searches keep apart.
std::uint32_t RandomNonce();

}  // namespace qdupk

#endif  // QDUPK_TOOL_SEARCH_SOCKET_H
