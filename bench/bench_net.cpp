#include "bench_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "qd_bytes.h"

namespace qdbench {

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(20);

bool ParseAddress(const char* host, const char* port, sockaddr_in* out) {
    *out = {};
    out->sin_family = AF_INET;
    const long number = std::strtol(port, nullptr, 10);
    if (number <= 0 || number > 65535) {
        return false;
    }
    out->sin_port = htons(static_cast<std::uint16_t>(number));
    return host == nullptr || inet_pton(AF_INET, host, &out->sin_addr) == 1;
}

}  // namespace

void StoreHeader(unsigned char* out, std::uint32_t word) {
    qd::StoreBe32(out, qd::kUploadMagic);
    qd::StoreBe32(out + qd::kUploadLengthOffset, word);
}

long long HeaderLength(const unsigned char* header) {
    if (qd::LoadBe32(header) != qd::kUploadMagic) {
        return -1;
    }
    return qd::LoadBe32(header + qd::kUploadLengthOffset);
}

bool IsAck(const unsigned char* ack) {
    return HeaderLength(ack) == 0;
}

bool SendAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = recv(fd, bytes, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

qd::UniqueFd ConnectWithRetry(const char* host, const char* port, int waitSeconds,
                              std::chrono::steady_clock::time_point* start) {
    sockaddr_in peer{};
    if (!ParseAddress(host, port, &peer)) {
        (void)std::fprintf(stderr, "bad address %s:%s\n", host, port);
        return qd::UniqueFd();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    for (;;) {
        qd::UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        *start = std::chrono::steady_clock::now();
        if (sock.valid() &&
            connect(sock.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
            return sock;
        }
        if (errno != ECONNREFUSED || std::chrono::steady_clock::now() >= deadline) {
            std::perror("connect");
            return qd::UniqueFd();
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

qd::UniqueFd Listen(const char* port) {
    sockaddr_in local{};
    qd::UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int reuse = 1;
    if (!sock.valid() || !ParseAddress(nullptr, port, &local) ||
        setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(sock.get(), 1) != 0) {
        std::perror("listen");
        sock.reset();
    }
    return sock;
}

}  // namespace qdbench
