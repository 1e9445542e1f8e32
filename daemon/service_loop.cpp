// The service loop: one poll over the listening socket and the multicast
// socket; a connection is served before a datagram.
#include "service_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "discovery.h"
#include "mdu_uptarm.h"
#include "qd_bytes.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_shell.h"
#include "qdboot_config.h"
#include "timed_socket.h"
#include "upload.h"

volatile sig_atomic_t asvthread_run = 0;

namespace {

constexpr int kListenBacklog = 5;
constexpr int kPollTimeoutMs = 1000;
constexpr int kAckBudgetMs = 2000;
constexpr long kPauseBeforeResetNs = 50L * 1000000L;
constexpr int kSetupFailedStatus = 1;

void StopServing(int /*signal*/) {
    asvthread_run = 0;
}

// Without SA_RESTART, so a signal wakes the poll at once. A signal during
// an upload does not cut it short: the upload ends on its own schedule and
// the loop sees the cleared flag afterwards.
void InstallStopHandlers() noexcept {
    struct sigaction action {};
    action.sa_handler = StopServing;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    static_cast<void>(sigaction(SIGTERM, &action, nullptr));
    static_cast<void>(sigaction(SIGINT, &action, nullptr));
}

std::uint32_t SearchGroupAddress() noexcept {
    in_addr group{};
    static_cast<void>(inet_pton(AF_INET, kSearchGroup, &group));
    return group.s_addr;
}

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
void AcknowledgeAndReboot(qd::UniqueFd connection) noexcept {
    unsigned char ack[kUploadHeaderSize];
    qd::StoreBe32(ack, kUploadMagic);
    qd::StoreBe32(ack + 4, 0);
    static_cast<void>(
        ff_url_tcpwrite(connection.get(), ack, static_cast<int>(sizeof ack), kAckBudgetMs));
    connection.reset();
    static_cast<void>(qd::RunCommand("sync"));
    PauseBeforeReset();
    static_cast<void>(mdu_arm_reset());
    static_cast<void>(qd::RunCommand("reboot"));
}

// False when no connection could be accepted.
bool ServeConnection(int listener) noexcept {
    qd::UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
        return false;
    }
    socket_nonblock(connection.get());
    if (client_update(connection.get()) == 0) {
        AcknowledgeAndReboot(std::move(connection));
    }
    return true;  // a failed upload is closed without an answer
}

// One wait and what it reported. *searchFd may be replaced by the
// discovery responder; 0 or less means there is no multicast socket.
void ServeOnce(int listener, int* searchFd) noexcept {
    pollfd entries[2] = {{listener, POLLIN, 0}, {*searchFd, POLLIN, 0}};
    const nfds_t count = *searchFd > 0 ? 2 : 1;
    if (::poll(entries, count, kPollTimeoutMs) <= 0) {
        return;
    }
    if ((entries[0].revents & POLLIN) != 0 && !ServeConnection(listener)) {
        return;  // the datagram is reported again by the next wait
    }
    if (count == 2 && (entries[1].revents & POLLIN) != 0) {
        *searchFd = search_handle_datagram(*searchFd);
    }
}

}  // namespace

void socket_nonblock(int fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    static_cast<void>(::fcntl(fd, F_SETFL, flags | O_NONBLOCK));
}

int RunServiceLoop() noexcept {
    asvthread_run = 1;
    InstallStopHandlers();
    const qd::UniqueFd listener = OpenListener(stQdbootCfg.nPort);
    if (!listener.valid()) {
        return kSetupFailedStatus;
    }
    const std::uint32_t group = SearchGroupAddress();
    int searchFd = ff_url_createmulticast(group);
    while (asvthread_run != 0) {
        ServeOnce(listener.get(), &searchFd);
    }
    if (searchFd > 0) {
        ff_url_leave_multicast_group(searchFd, group);
        ::close(searchFd);
    }
    return 0;
}
