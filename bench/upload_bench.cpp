// The daemon's upload handler receiving a package with one large file item
// over a local socket pair (receive, verify, extract), next to a plain loop
// that only receives the same bytes into a file in 4096-byte chunks.
//   build/bin/upload_bench [--benchmark_filter=...]
// Work files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "package_writer.h"
#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "service_loop.h"
#include "upload.h"

namespace {

constexpr long kItemMiB = 16;

struct Work {
    std::string dir, package;
    long long size = 0;
    QDBOOT_CFG_T cfg{};
};

const Work& Prepared() {
    static const Work work = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/qdupbench.XXXXXX";
        Work w;
        w.dir = mkdtemp(pattern.data());
        const qdupk::ItemPlan item = qdupk::DataItem(
            QDUPK_ITEM_FILE, std::string(static_cast<std::size_t>(kItemMiB) << 20, 'i'),
            w.dir + "/item.bin");
        qdupk::WritePackageFile({"bench", "1", "IPC-1", {item}}, w.package = w.dir + "/p.upg");
        w.size = static_cast<long long>(std::filesystem::file_size(w.package));
        if (!qd::CopyText(w.cfg.szTmpDir, w.dir.c_str())) {
            std::fprintf(stderr, "work directory too long: %s\n", w.dir.c_str());
            std::exit(1);
        }
        return w;
    }();
    return work;
}

// The PC side: header, then the package file straight from the page cache.
void SendPackage(int fd, const Work& work) {
    unsigned char header[qd::kUploadHeaderSize];
    qd::StoreBe32(header, qd::kUploadMagic);
    qd::StoreBe32(header + qd::kUploadLengthOffset, static_cast<std::uint32_t>(work.size));
    if (write(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
        return;
    }
    const qd::UniqueFd file(open(work.package.c_str(), O_RDONLY | O_CLOEXEC));
    off_t offset = 0;
    while (offset < work.size && sendfile(fd, file.get(), &offset, 1 << 20) > 0) {
    }
    shutdown(fd, SHUT_WR);
}

template <typename Receiver>
void RunUploads(benchmark::State& state, Receiver receive) {
    const Work& work = Prepared();
    for (auto _ : state) {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        qd::UniqueFd device(fds[0]);
        qd::UniqueFd pc(fds[1]);
        std::thread sender([&] { SendPackage(pc.get(), work); });
        if (!receive(device.get(), work)) {
            state.SkipWithError("upload failed");
        }
        sender.join();
    }
    state.SetBytesProcessed(state.iterations() * work.size);
}

bool ClientUpdate(int fd, const Work& work) {
    socket_nonblock(fd);
    // The package library prints a trace line per verified chunk.
    static_cast<void>(std::fflush(stdout));
    const qd::UniqueFd saved(dup(STDOUT_FILENO));
    const qd::UniqueFd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    dup2(null.get(), STDOUT_FILENO);
    const int result = client_update(fd, work.cfg);
    static_cast<void>(std::fflush(stdout));
    dup2(saved.get(), STDOUT_FILENO);
    return result == 0;
}

bool ReceiveOnly(int fd, const Work& work) {
    const qd::FilePtr out(std::fopen((work.dir + "/plain.bin").c_str(), "wb"));
    char chunk[4096];
    long long total = 0;
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0; total += n) {
        if (std::fwrite(chunk, 1, static_cast<std::size_t>(n), out.get()) !=
            static_cast<std::size_t>(n)) {
            return false;
        }
    }
    return total == work.size + static_cast<long long>(qd::kUploadHeaderSize);
}

void BM_ClientUpdate(benchmark::State& state) {
    RunUploads(state, ClientUpdate);
}
void BM_ReceiveOnly(benchmark::State& state) {
    RunUploads(state, ReceiveOnly);
}
BENCHMARK(BM_ReceiveOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClientUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(Prepared().dir, ec);
    return 0;
}
