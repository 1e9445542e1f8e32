#include "tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;

constexpr Millis kTick{1000};

struct AddrinfoFree {
    void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoFree>;

std::string Describe(const HostPort& target) {
    return target.host + ":" + std::to_string(target.port);
}

[[noreturn]] void ThrowErrno(NetFailure kind, const std::string& what, int error) {
    throw TcpError(kind, what + ": " + std::strerror(error));
}

bool PeerGone(int error) {
    return error == EPIPE || error == ECONNRESET;
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll() for one event until the deadline, resuming after signals; false on
// time-out. Error and hang-up count as ready: the next call reports them.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
        if (errno != EINTR) {
            ThrowErrno(NetFailure::kOther, "poll", errno);
        }
    }
}

AddrinfoPtr Resolve(const HostPort& target) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc =
        getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &list);
    if (rc != 0) {
        throw TcpError(NetFailure::kConnect,
                       "cannot resolve " + target.host + ": " + gai_strerror(rc));
    }
    return AddrinfoPtr(list);
}

// 0 when connected, otherwise the error; ETIMEDOUT when the deadline passed.
int TryConnect(const qd::UniqueFd& fd, const addrinfo& address, Clock::time_point deadline) {
    if (connect(fd.get(), address.ai_addr, address.ai_addrlen) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return errno;
    }
    if (!WaitFor(fd.get(), POLLOUT, deadline)) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

qd::UniqueFd ConnectTcp(const HostPort& target, Millis timeout) {
    const AddrinfoPtr list = Resolve(target);
    const Clock::time_point deadline = Clock::now() + timeout;
    int error = EHOSTUNREACH;
    for (const addrinfo* p = list.get(); p != nullptr; p = p->ai_next) {
        qd::UniqueFd fd(
            socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, p->ai_protocol));
        if (!fd.valid()) {
            error = errno;
            continue;
        }
        error = TryConnect(fd, *p, deadline);
        if (error == 0) {
            return fd;
        }
    }
    if (error == ETIMEDOUT) {
        throw TcpError(NetFailure::kConnect, "cannot connect to " + Describe(target) +
                                                 ": no answer within " + FormatSeconds(timeout));
    }
    ThrowErrno(NetFailure::kConnect, "cannot connect to " + Describe(target), error);
}

void SendAll(int fd, const unsigned char* data, std::size_t size, Millis stall) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t sent = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int error = errno;
            ThrowErrno(PeerGone(error) ? NetFailure::kClosed : NetFailure::kOther, "send", error);
        }
        if (!WaitFor(fd, POLLOUT, Clock::now() + stall)) {
            throw TcpError(NetFailure::kTimeout,
                           "the camera took no data for " + FormatSeconds(stall));
        }
    }
}

std::size_t ReceiveExact(int fd, unsigned char* data, std::size_t size, Millis timeout,
                         const std::function<void(Millis waited)>& tick) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = recv(fd, data + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0 || PeerGone(errno)) {
            return done;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            ThrowErrno(NetFailure::kOther, "recv", errno);
        }
        if (RemainingMs(deadline) == 0) {
            throw TcpError(NetFailure::kTimeout,
                           "no acknowledgement within " + FormatSeconds(timeout));
        }
        (void)WaitFor(fd, POLLIN, std::min(deadline, Clock::now() + kTick));
        tick(std::chrono::duration_cast<Millis>(Clock::now() - start));
    }
    return done;
}

}  // namespace qdupk
