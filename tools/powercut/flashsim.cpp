// qd-flashsim: the rig's flash tools. A partition is a plain file; the
// device is NOR-like: erase fills it with 0xFF and a copy programs it, both
// one 64 KiB erase block at a time, each block flushed before the next, so
// that a power cut can only ever tear the block being written.
//
//   qd-flashsim PARTITION              erase the whole partition
//   qd-flashsim -p PARTITION IMAGE     program IMAGE from the start
//
// (the daemon's erase and copy command lines for a copy program whose name
// is not flashcp's).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qd_owners.h"

namespace {

constexpr std::size_t kEraseBlock = 65536;

bool WriteBlock(int fd, const char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, data, size, offset);
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
    return ::fsync(fd) == 0;
}

off_t PartitionSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

int Erase(const char* partition) {
    const qd::UniqueFd fd(::open(partition, O_WRONLY | O_CLOEXEC));
    const off_t size = fd.valid() ? PartitionSize(fd.get()) : -1;
    if (size < 0) {
        static_cast<void>(std::fprintf(stderr, "qd-flashsim: cannot open %s: %s\n", partition,
                                       std::strerror(errno)));
        return 1;
    }
    const std::vector<char> erased(kEraseBlock, static_cast<char>(0xFF));
    for (off_t at = 0; at < size; at += static_cast<off_t>(kEraseBlock)) {
        const auto step = static_cast<std::size_t>(std::min<off_t>(size - at, kEraseBlock));
        if (!WriteBlock(fd.get(), erased.data(), step, at)) {
            static_cast<void>(std::fprintf(stderr, "qd-flashsim: erase of %s failed\n", partition));
            return 1;
        }
    }
    return 0;
}

int Program(const char* partition, const char* image) {
    const qd::UniqueFd in(::open(image, O_RDONLY | O_CLOEXEC));
    const qd::UniqueFd out(::open(partition, O_WRONLY | O_CLOEXEC));
    if (!in.valid() || !out.valid()) {
        static_cast<void>(
            std::fprintf(stderr, "qd-flashsim: cannot open %s or %s\n", image, partition));
        return 1;
    }
    if (PartitionSize(in.get()) > PartitionSize(out.get())) {
        static_cast<void>(
            std::fprintf(stderr, "qd-flashsim: %s does not fit in %s\n", image, partition));
        return 1;
    }
    std::vector<char> block(kEraseBlock);
    for (off_t at = 0;; at += static_cast<off_t>(kEraseBlock)) {
        const ssize_t got = ::pread(in.get(), block.data(), block.size(), at);
        if (got == 0) {
            return 0;
        }
        if (got < 0 || !WriteBlock(out.get(), block.data(), static_cast<std::size_t>(got), at)) {
            static_cast<void>(std::fprintf(stderr, "qd-flashsim: writing %s failed\n", partition));
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        return Erase(argv[1]);
    }
    if (argc == 4 && std::strcmp(argv[1], "-p") == 0) {
        return Program(argv[2], argv[3]);
    }
    static_cast<void>(
        std::fprintf(stderr, "usage: qd-flashsim PARTITION | qd-flashsim -p PARTITION IMAGE\n"));
    return 2;
}
