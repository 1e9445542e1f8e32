// Verification and extraction of a package with one large file item by the
// package library, next to plain tools doing the same work on the same
// bytes: md5sum of the item's data, then cp of it. bench/run.sh prepares
// the work directory, which holds
//   package.upg  one file item whose destination is WORKDIR/item.bin
//   data.bin     that item's data
// and runs
//   build/bin/extract_bench WORKDIR [--benchmark_repetitions=N]
// Everything stays on WORKDIR's file system: the library's temporary
// directory, its destination and the plain tools' copy. The summary line at
// the end gives the library's time as a multiple of the plain tools'.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libqdupdate.h"

namespace {

struct WorkDir {
    std::string dir, package, itemFile, data, copy, libraryLog;
};

WorkDir& Work() {
    static WorkDir work;
    return work;
}

void SetWorkDir(const std::string& dir) {
    Work() = {dir,
              dir + "/package.upg",
              dir + "/item.bin",
              dir + "/data.bin",
              dir + "/copy.bin",
              dir + "/library.log"};
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Each run starts from the same state: no output file of an earlier run,
// and no dirty pages of it still waiting to be written back.
void ResetOutputs() {
    (void)std::remove(Work().itemFile.c_str());
    (void)std::remove(Work().copy.c_str());
    sync();
}

int AcceptItem(const char* /*szFileName*/, const char* /*szDstFileName*/,
               QDUPK_ITEM_TYPE /*emType*/, const char* /*szDevID*/, const char* /*szDesc*/,
               int /*bRebootFlag*/) {
    return 0;
}

// The library logs a trace line per 4 KiB chunk; as in the daemon, they go
// line-buffered to a file rather than to the benchmark's own output.
int RunLibrary() {
    (void)std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int log = open(Work().libraryLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (saved < 0 || log < 0) {
        return -1;
    }
    (void)dup2(log, STDOUT_FILENO);
    (void)close(log);
    const int result =
        libqdupk_update(Work().package.c_str(), "perf", Work().dir.c_str(), AcceptItem);
    (void)std::fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    return result;
}

int RunPlainTools() {
    const std::string command = "md5sum -- '" + Work().data + "' >/dev/null && cp -- '" +
                                Work().data + "' '" + Work().copy + "'";
    return std::system(command.c_str());
}

void Timed(benchmark::State& state, int (*run)(), const std::string& output, const char* what) {
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        ResetOutputs();
        state.ResumeTiming();
        if (run() != 0) {
            state.SkipWithError(what);
            break;
        }
    }
    if (FileSize(output) != FileSize(Work().data)) {
        state.SkipWithError("output has the wrong size");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FileSize(Work().data));
}

void BM_Library(benchmark::State& state) {
    Timed(state, RunLibrary, Work().itemFile, "libqdupk_update failed");
}

void BM_PlainTools(benchmark::State& state) {
    Timed(state, RunPlainTools, Work().copy, "md5sum or cp failed");
}

double Minimum(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

BENCHMARK(BM_Library)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->ComputeStatistics("min", Minimum)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainTools)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->ComputeStatistics("min", Minimum)
    ->Unit(benchmark::kMillisecond);

// Median and minimum of each benchmark's repetitions, in seconds.
std::map<std::string, double>& Seconds() {
    static std::map<std::string, double> seconds;
    return seconds;
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && !run.error_occurred) {
                Seconds()[run.run_name.function_name + "/" + run.aggregate_name] =
                    run.GetAdjustedRealTime() / 1000.0;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatio() {
    const char* kKeys[] = {"BM_Library/median", "BM_Library/min", "BM_PlainTools/median",
                           "BM_PlainTools/min"};
    for (const char* key : kKeys) {
        if (Seconds().count(key) == 0 || Seconds()[key] <= 0) {
            std::printf("extract: no result for %s\n", key);
            return;
        }
    }
    auto& s = Seconds();
    std::printf(
        "extract %lld MiB: library median %.3f s (best %.3f), plain tools median %.3f s "
        "(best %.3f), ratio median %.3f (best %.3f)\n",
        FileSize(Work().data) >> 20, s["BM_Library/median"], s["BM_Library/min"],
        s["BM_PlainTools/median"], s["BM_PlainTools/min"],
        s["BM_Library/median"] / s["BM_PlainTools/median"],
        s["BM_Library/min"] / s["BM_PlainTools/min"]);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2 || FileSize(std::string(argv[1]) + "/package.upg") <= 0 ||
        FileSize(std::string(argv[1]) + "/data.bin") <= 0) {
        (void)std::fprintf(stderr,
                           "usage: extract_bench WORKDIR (with package.upg and data.bin)\n");
        return 2;
    }
    SetWorkDir(argv[1]);
    // The daemon's own setting for its only log.
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintRatio();
    ResetOutputs();
    (void)std::remove(Work().libraryLog.c_str());
    return Seconds().size() == 4 ? 0 : 1;
}
