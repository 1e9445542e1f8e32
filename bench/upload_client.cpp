// The PC side of the upload benchmark: sends one package with the upload
// header and waits for the acknowledgement, then prints the time from the
// connect to the acknowledgement. Used against the daemon and against the
// plain-tools floor receiver alike, so both are timed the same way.
//   upload_client HOST PORT PACKAGE [WAIT_SECONDS]
// A refused connect is retried (the peer may still be starting) for up to
// WAIT_SECONDS (default 10); the clock starts at the connect that succeeds.
// Output: "upload_seconds=S"; exit 0 only when the acknowledgement came.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_net.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAckWaitMs = 600 * 1000;

bool SendPackage(int sock, int file, off_t size) {
    unsigned char header[qd::kUploadHeaderSize];
    qdbench::StoreHeader(header, static_cast<std::uint32_t>(size));
    if (!qdbench::SendAll(sock, header, sizeof header)) {
        return false;
    }
    off_t offset = 0;
    while (offset < size) {
        const ssize_t sent = sendfile(sock, file, &offset, static_cast<std::size_t>(size - offset));
        if (sent <= 0 && errno != EINTR) {
            std::perror("upload_client: sendfile");
            return false;
        }
    }
    return true;
}

bool ReceiveAck(int sock) {
    unsigned char ack[qd::kUploadAckSize];
    std::size_t got = 0;
    while (got < sizeof ack) {
        pollfd entry = {sock, POLLIN, 0};
        if (poll(&entry, 1, kAckWaitMs) <= 0) {
            (void)std::fprintf(stderr, "upload_client: no acknowledgement\n");
            return false;
        }
        const ssize_t n = recv(sock, ack + got, sizeof ack - got, 0);
        if (n <= 0) {
            (void)std::fprintf(stderr, "upload_client: closed without acknowledgement\n");
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return qdbench::IsAck(ack);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        (void)std::fprintf(stderr, "usage: upload_client HOST PORT PACKAGE [WAIT_SECONDS]\n");
        return 2;
    }
    const qd::UniqueFd file(open(argv[3], O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!file.valid() || fstat(file.get(), &st) != 0 || st.st_size <= 0 ||
        st.st_size > 0x7fffffff) {
        (void)std::fprintf(stderr, "upload_client: cannot use package %s\n", argv[3]);
        return 2;
    }
    const int waitSeconds = argc == 5 ? std::atoi(argv[4]) : 10;
    Clock::time_point start;
    const qd::UniqueFd sock = qdbench::ConnectWithRetry(argv[1], argv[2], waitSeconds, &start);
    if (!sock.valid()) {
        return 1;
    }
    if (!SendPackage(sock.get(), file.get(), st.st_size) || !ReceiveAck(sock.get())) {
        return 1;
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    std::printf("upload_seconds=%.4f\n", took.count());
    return 0;
}
