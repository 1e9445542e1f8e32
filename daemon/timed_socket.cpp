// Budgeted receive and send on a non-blocking stream socket.
#include "timed_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <ctime>

namespace {

constexpr int kSliceMs = 200;
constexpr int kMaxEndOfStreams = 30;

void SleepOneMs() noexcept {
    const timespec pause = {0, 1000000L};
    static_cast<void>(nanosleep(&pause, nullptr));
}

// True when the socket has something to report for `events`, or an error or
// hang-up, which the next transfer call tells apart.
bool WaitReady(int fd, short events) noexcept {
    pollfd entry = {fd, events, 0};
    if (::poll(&entry, 1, kSliceMs) <= 0) {
        return false;
    }
    return (entry.revents & (events | POLLERR | POLLHUP)) != 0;
}

// A readiness report that yields nothing, or a signal, is no failure of the
// connection.
bool IsTransient(int error) noexcept {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// One slice's receive. What is already queued is taken at once: a steady
// sender keeps the socket readable, so polling first would only report
// that, at the price of a system call per chunk. Otherwise the slice's wait,
// then the receive. Nothing received within the slice reads as EAGAIN.
ssize_t ReceiveSlice(int fd, unsigned char* at, std::size_t size) noexcept {
    const ssize_t n = ::recv(fd, at, size, MSG_DONTWAIT);
    if (n >= 0 || !IsTransient(errno)) {
        return n;
    }
    if (!WaitReady(fd, POLLIN)) {
        errno = EAGAIN;
        return -1;
    }
    return ::recv(fd, at, size, 0);
}

}  // namespace

int ff_url_tcpread(int fd, void* buf, int wanted, int budgetMs) noexcept {
    auto* bytes = static_cast<unsigned char*>(buf);
    int received = 0;
    int endOfStreams = 0;
    int budget = budgetMs;
    while (received < wanted) {
        budget -= kSliceMs;
        const ssize_t n =
            ReceiveSlice(fd, bytes + received, static_cast<std::size_t>(wanted - received));
        if (n > 0) {
            received += static_cast<int>(n);
            endOfStreams = 0;
            budget = budgetMs;
        } else if (n == 0) {
            if (++endOfStreams > kMaxEndOfStreams) {
                return -1;
            }
            SleepOneMs();
        } else if (!IsTransient(errno)) {
            return -1;
        }
        if (budget <= 0) {
            break;
        }
    }
    return received;
}

int ReceiveQueued(int fd, void* buf, int size) noexcept {
    const ssize_t n = ::recv(fd, buf, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n >= 0) {
        return static_cast<int>(n);
    }
    return IsTransient(errno) ? 0 : -1;
}

int ff_url_tcpwrite(int fd, const void* buf, int size, int budgetMs) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(buf);
    int sent = 0;
    int budget = budgetMs;
    while (sent < size) {
        budget -= kSliceMs;
        if (WaitReady(fd, POLLOUT)) {
            errno = 0;
            // A peer that has gone must not end the daemon with SIGPIPE.
            const ssize_t n =
                ::send(fd, bytes + sent, static_cast<std::size_t>(size - sent), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<int>(n);
                budget = budgetMs;
            } else if (n == 0 ? errno != 0 : !IsTransient(errno)) {
                break;
            } else if (n == 0) {
                SleepOneMs();
            }
        }
        if (budget <= 0) {
            break;
        }
    }
    return sent;
}
