// The plain-tools floor of an upload: what the job costs without the
// daemon. Accepts one connection, reads the upload header, streams the
// declared bytes into FILE as a plain copy tool would (large reads and
// writes), runs "md5sum FILE" and "cp FILE DEST", and sends the
// acknowledgement, so upload_client times it exactly like the daemon. With
// "sealed" it first runs "openssl dgst -sha256 FILE" as well (the SHA-256
// the daemon uses, not coreutils' slower one): the digest a seal asks
// for, which the daemon takes of every package while receiving it.
//   floor_receiver PORT FILE DEST [sealed]
// Prints the time of each step ("floor_receive_seconds=..." and so on; the
// SHA-256 step's wall and processor time last, 0 without "sealed").
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_net.h"

namespace {

using Clock = std::chrono::steady_clock;

// The buffer size coreutils' cat and cp use for plain reads and writes.
constexpr std::size_t kBufferSize = std::size_t{128} << 10;
constexpr int kAcceptWaitMs = 120 * 1000;

// Processor time of this process and the tools it ran.
double CpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        (void)getrusage(who, &usage);
        for (const timeval& t : {usage.ru_utime, usage.ru_stime}) {
            total += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
        }
    }
    return total;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveToFile(int sock, const char* path, long long length) {
    const qd::UniqueFd file(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    std::vector<unsigned char> buffer(kBufferSize);
    while (file.valid() && length > 0) {
        const std::size_t want = length < static_cast<long long>(kBufferSize)
                                     ? static_cast<std::size_t>(length)
                                     : kBufferSize;
        const ssize_t n = recv(sock, buffer.data(), want, 0);
        if (n <= 0 || !WriteAll(file.get(), buffer.data(), static_cast<std::size_t>(n))) {
            return false;
        }
        length -= n;
    }
    return file.valid();
}

// Runs a tool with its standard output thrown away; true on exit status 0.
bool RunTool(std::vector<const char*> argv) {
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr,
                                const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

qd::UniqueFd AcceptOne(int listener) {
    pollfd entry = {listener, POLLIN, 0};
    if (poll(&entry, 1, kAcceptWaitMs) <= 0) {
        (void)std::fprintf(stderr, "floor_receiver: nobody connected\n");
        return qd::UniqueFd();
    }
    return qd::UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace

int main(int argc, char** argv) {
    const bool sealed = argc == 5 && std::strcmp(argv[4], "sealed") == 0;
    if (argc != 4 && !sealed) {
        (void)std::fprintf(stderr, "usage: floor_receiver PORT FILE DEST [sealed]\n");
        return 2;
    }
    const char* file = argv[2];
    const char* dest = argv[3];
    const qd::UniqueFd listener = qdbench::Listen(argv[1]);
    const qd::UniqueFd sock = listener.valid() ? AcceptOne(listener.get()) : qd::UniqueFd();
    unsigned char header[qd::kUploadHeaderSize];
    if (!sock.valid() || !qdbench::ReceiveAll(sock.get(), header, sizeof header)) {
        return 1;
    }
    const long long length = qdbench::HeaderLength(header);
    auto start = Clock::now();
    if (length <= 0 || !ReceiveToFile(sock.get(), file, length)) {
        (void)std::fprintf(stderr, "floor_receiver: receiving failed\n");
        return 1;
    }
    const double receive = SecondsSince(start);
    start = Clock::now();
    const double cpuBeforeSha = CpuSeconds();
    const bool hashed = !sealed || RunTool({"openssl", "dgst", "-sha256", file});
    const double sha256 = sealed ? SecondsSince(start) : 0.0;
    const double sha256Cpu = CpuSeconds() - cpuBeforeSha;
    start = Clock::now();
    const bool summed = hashed && RunTool({"md5sum", "--", file});
    const double md5sum = SecondsSince(start);
    start = Clock::now();
    const bool copied = summed && RunTool({"cp", "--", file, dest});
    const double cp = SecondsSince(start);
    unsigned char ack[qd::kUploadAckSize];
    qdbench::StoreHeader(ack, 0);
    if (!copied || !qdbench::SendAll(sock.get(), ack, sizeof ack)) {
        (void)std::fprintf(stderr, "floor_receiver: a tool or the acknowledgement failed\n");
        return 1;
    }
    std::printf(
        "floor_receive_seconds=%.4f\nfloor_md5sum_seconds=%.4f\nfloor_cp_seconds=%.4f\n"
        "floor_cpu_seconds=%.4f\nfloor_sha256_seconds=%.4f\nfloor_sha256_cpu_seconds=%.4f\n",
        receive, md5sum, cp, CpuSeconds(), sha256, sha256Cpu);
    return 0;
}
