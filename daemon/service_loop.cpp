// The service loop: one poll over the listening socket and the multicast
// socket; a connection is served before a datagram.
#include "service_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "boot_proof.h"
#include "camera_status.h"
#include "discovery.h"
#include "mdu_uptarm.h"
#include "monotonic.h"
#include "qd_bytes.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_wire.h"
#include "shell_command.h"
#include "status_responder.h"
#include "stop_signals.h"
#include "timed_socket.h"
#include "upload.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr int kPollTimeoutMs = 1000;
constexpr int kAckBudgetMs = 2000;
constexpr long kPauseBeforeResetNs = 50L * 1000000L;
constexpr int kSetupFailedStatus = 1;
constexpr long long kDiscoveryRetryMs = 3000;

// The multicast socket, and while there is none, when to try again. A
// search that fails while eth0 is briefly down must not hide the camera
// until the next restart.
struct Discovery {
    MulticastSocket socket;
    bool down = false;
    long long nextTryMs = 0;
};

// The listening socket on every local address and the configured port, or
// an invalid owner after reporting why.
qd::UniqueFd OpenListener(std::uint16_t port) noexcept {
    // Close-on-exec: scripts and tools the daemon runs must not inherit it.
    qd::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        std::perror("socket");
        return sock;
    }
    const int reuse = 1;
    static_cast<void>(::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(sock.get(), kListenBacklog) != 0) {
        QD_LOG_ERR("cannot listen on port %u: %s\n", static_cast<unsigned>(port),
                   std::strerror(errno));
        sock.reset();
        return sock;
    }
    socket_nonblock(sock.get());
    return sock;
}

void PauseBeforeReset() noexcept {
    timespec left = {0, kPauseBeforeResetNs};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Once the upload has succeeded the whole sequence runs, whether or not the
// acknowledgement got through. The loop goes on until the reboot ends it.
// The removed package's storage is freed once the client has its answer
// and before the file systems are synced.
void AcknowledgeAndReboot(qd::UniqueFd connection, qd::UniqueFd packageStorage) noexcept {
    unsigned char ack[qd::kUploadAckSize];
    qd::StoreBe32(ack, qd::kUploadMagic);
    qd::StoreBe32(ack + qd::kUploadResultOffset, 0);
    // The client may read the log the moment it has the answer.
    qd::LogFlush();
    static_cast<void>(
        ff_url_tcpwrite(connection.get(), ack, static_cast<int>(sizeof ack), kAckBudgetMs));
    connection.reset();
    packageStorage.reset();
    // Past the acknowledgement nothing can be taken back: the commands print
    // their own failures and the reboot goes ahead regardless.
    static_cast<void>(qd::RunCommand("sync"));
    PauseBeforeReset();
    static_cast<void>(mdu_arm_reset());
    static_cast<void>(qd::RunCommand("reboot"));
}

// What the daemon needs beside the configuration: the settings it was
// started with and the status record it keeps.
struct Serving {
    const QDBOOT_CFG_T& cfg;
    const SealConfig& seal;
    const BootenvConfig& boot;
    CameraStatus& status;
};

// After an upload or a proof of boot, whichever stores it made.
void RefreshStatus(const Serving& s) noexcept {
    RefreshJournal(&s.status, s.boot);
    RefreshCounter(&s.status, s.seal);
}

// False when no connection could be accepted. A stop signal waits until
// the upload, and the reboot of a successful one, are done. The status
// shows the result before the acknowledgement goes out.
bool ServeConnection(int listener, const Serving& s) noexcept {
    qd::UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
        return false;
    }
    const StopSignalsHeld held;
    socket_nonblock(connection.get());
    qd::UniqueFd packageStorage;
    const UploadResult result = RunUpload(connection.get(), s.cfg, s.seal, s.boot, &packageStorage);
    RecordUpload(&s.status, result);
    RefreshStatus(s);
    if (result.code == 0) {
        AcknowledgeAndReboot(std::move(connection), std::move(packageStorage));
    }
    return true;  // a failed upload is closed without an answer
}

// One wait and what it reported. The discovery responder may replace the
// multicast socket.
void ServeOnce(int listener, MulticastSocket& search, const Serving& s,
               StatusResponder& status) noexcept {
    // A stop signal that came before the wait would otherwise sleep in it.
    if (asvthread_run == 0) {
        return;
    }
    pollfd entries[2] = {{listener, POLLIN, 0}, {search.fd(), POLLIN, 0}};
    const nfds_t count = search.valid() ? 2 : 1;
    if (::poll(entries, count, kPollTimeoutMs) <= 0) {
        return;
    }
    if ((entries[0].revents & POLLIN) != 0 && !ServeConnection(listener, s)) {
        return;  // the datagram is reported again by the next wait
    }
    if (count == 2 && (entries[1].revents & POLLIN) != 0) {
        search.HandleDatagram(s.cfg, &status);
    }
}

// One error line per streak without a socket, not one per try; each try
// may run the route command, hence the pause between tries.
void TendDiscovery(Discovery* d) noexcept {
    if (d->socket.valid()) {
        return;
    }
    const long long now = MonotonicMs();
    if (!d->down) {
        QD_LOG_ERR("no multicast socket (%d): searches go unanswered, trying again every %lld s\n",
                   d->socket.fd(), kDiscoveryRetryMs / 1000);
        d->down = true;
        d->nextTryMs = now + kDiscoveryRetryMs;
        return;
    }
    if (now < d->nextTryMs) {
        return;
    }
    d->nextTryMs = now + kDiscoveryRetryMs;
    if (d->socket.Open()) {
        d->down = false;
        QD_LOG_TRACE("multicast socket open again, searches are answered\n");
    }
}

// A proof of boot that ends has stored good or bad.
void TendProof(BootProof& proof, const Serving& s) noexcept {
    const bool proving = proof.Proving();
    proof.Tend();
    if (proving && !proof.Proving()) {
        RefreshStatus(s);
    }
}

}  // namespace

void socket_nonblock(int fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    static_cast<void>(::fcntl(fd, F_SETFL, flags | O_NONBLOCK));
}

int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal) noexcept {
    return RunServiceLoop(cfg, seal, BootenvConfig{});
}

int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                   const BootenvConfig& boot) noexcept {
    CameraStatus status = StartCameraStatus("", cfg, StatusConfig{}, MonotonicMs());
    return RunServiceLoop(cfg, seal, boot, &status);
}

int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal, const BootenvConfig& boot,
                   CameraStatus* status) noexcept {
    // Stopped during start-up: nothing is opened, nothing is left to close.
    if (StopRequested()) {
        return 0;
    }
    const qd::UniqueFd listener = OpenListener(cfg.nPort);
    if (!listener.valid()) {
        return kSetupFailedStatus;
    }
    const Serving serving = {cfg, seal, boot, *status};
    BootProof proof(boot, seal);
    proof.Start();
    RefreshStatus(serving);
    StatusResponder responder(*status);
    Discovery discovery;
    static_cast<void>(discovery.socket.Open());
    while (asvthread_run != 0) {
        TendDiscovery(&discovery);
        TendProof(proof, serving);
        ServeOnce(listener.get(), discovery.socket, serving, responder);
    }
    return 0;
}
