// The upgrade tool's side of an end-to-end test, run from the PC namespace
// of a virtual camera: an upload connection, and a search client listening
// on the group's answer port. Also finds the daemon's own process.
#ifndef QD_TEST_PC_SIDE_H
#define QD_TEST_PC_SIDE_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "qd_owners.h"
#include "qd_wire.h"
#include "virtual_camera.h"

namespace qdtest {

// Header (magic and length, big-endian) and package: an upload's bytes.
std::string Framed(const std::string& package);

// Waits until the daemon listens on `port` and has joined the search group.
::testing::AssertionResult WaitServing(const VirtualCamera& cam, std::uint16_t port);
bool GroupJoined(const VirtualCamera& cam);

// A socket in the camera's device namespace, to take resources from the
// daemon's side.
qd::UniqueFd DevSocket(const VirtualCamera& cam, int type);

// The daemon itself inside the camera's namespaces (not the rig's shells);
// -1 when it is not found, which a caller must check before kill(): as
// root, kill(-1, sig) signals every process of the machine.
pid_t DaemonPid(const VirtualCamera& cam);

class UploadConnection {
  public:
    UploadConnection(const VirtualCamera& cam, std::uint16_t port);
    void Send(const std::string& bytes);
    // As Send, but a connection the daemon has given up is no error: false
    // when not everything could be sent.
    bool TrySend(const std::string& bytes);
    // Everything the daemon sends until it closes the connection; closed
    // stays false when it has not closed within the time-out.
    struct Reply {
        std::string bytes;
        bool closed = false;
    };
    Reply ReadUntilClosed(Millis timeout);

  private:
    qd::UniqueFd sock_;
};

class SearchClient {
  public:
    explicit SearchClient(const VirtualCamera& cam);
    // To the group, or to a unicast address, on the search port.
    void Send(const std::string& packet, const std::string& to = qd::kSearchGroup);
    // The next answer on the group's answer port, if one comes in time.
    std::optional<std::string> Receive(Millis timeout);

  private:
    qd::UniqueFd listen_;
    qd::UniqueFd send_;
};

// A 76-byte search whose bytes 4 to 7 carry `tag`, the rest a pattern.
std::string SearchPacket(std::uint32_t tag, std::size_t size = 76);

}  // namespace qdtest

#endif  // QD_TEST_PC_SIDE_H
