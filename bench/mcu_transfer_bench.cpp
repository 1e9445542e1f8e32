// Time to send an MCU image to the loader simulator over a pseudo-terminal,
// next to the protocol's fixed pauses for that image: the floor no
// implementation can go below. A stand-in killall is put first in PATH.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "QDComm.h"
#include "mdu_uptarm.h"

namespace {

// Stop 500 ms, line setup 100 ms, reset 100 ms, 20 ms after each of the
// reset, start and header phases, 20 ms after every block, 500 ms before
// the end request.
double FloorMs(long imageSize) {
    const long blocks = (imageSize + 1023) / 1024;
    return 500 + 100 + 100 + 3 * 20 + 20.0 * static_cast<double>(blocks) + 500;
}

class Scratch {
  public:
    Scratch() {
        char pattern[] = "/tmp/mcu-bench.XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~Scratch() {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        (void)std::system(cmd.c_str());
    }
    std::string file(const char* name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }
    bool ok() const { return !dir_.empty(); }

  private:
    std::string dir_;
};

bool InstallKillallStandIn(const Scratch& scratch) {
    const std::string tool = scratch.file("killall");
    std::ofstream(tool) << "#!/bin/sh\nexit 0\n";
    chmod(tool.c_str(), 0755);
    const char* inherited = std::getenv("PATH");
    const std::string path =
        scratch.dir() + ":" + (inherited != nullptr ? inherited : "/usr/bin:/bin");
    setenv("PATH", path.c_str(), 1);
    std::FILE* probe = popen("command -v killall", "r");
    char found[512] = {};
    const bool read = probe != nullptr && std::fgets(found, sizeof found, probe) != nullptr;
    if (probe != nullptr) {
        pclose(probe);
    }
    return read && std::string(found) == tool + "\n";
}

pid_t StartSimulator(const Scratch& scratch, std::string* slave) {
    const std::string sim = std::string(QD_BINARY_DIR) + "/bin/mcu-sim";
    const std::string pathFile = scratch.file("sim.path");
    const std::string log = scratch.file("sim.log");
    std::vector<std::string> args = {sim, "--path-file", pathFile, "--log", log};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, sim.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    for (int i = 0; i < 500 && access(pathFile.c_str(), R_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream(pathFile) >> *slave;
    return pid;
}

void BM_McuTransfer(benchmark::State& state) {
    const long size = state.range(0);
    Scratch scratch;
    std::string slave;
    if (!scratch.ok() || !InstallKillallStandIn(scratch)) {
        state.SkipWithError("no stand-in killall");
        return;
    }
    const pid_t sim = StartSimulator(scratch, &slave);
    if (sim < 0 || slave.empty()) {
        state.SkipWithError("mcu-sim did not start");
        return;
    }
    const std::string image = scratch.file("image.bin");
    std::ofstream(image, std::ios::binary) << std::string(static_cast<std::size_t>(size), 'M');

    // mdu_updatearm prints nothing on success; its pauses dominate.
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const auto start = std::chrono::steady_clock::now();
        const int result =
            mdu_updatearm(slave.c_str(), QD_COMM_BITRATE_115200, "mainapp", 1, image.c_str());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        if (result != 0) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    state.counters["floor_ms"] = FloorMs(size);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

BENCHMARK(BM_McuTransfer)
    ->Arg(int64_t{64} * 1024)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
