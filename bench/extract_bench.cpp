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
#include <sys/resource.h>
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
#include "qd_log.h"

namespace {

// Not a stdio mode: the daemon's own log set-up.
constexpr int kDaemonLog = -1;

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

// The library logs a trace line per 4 KiB chunk. They go to a file, fully
// buffered as the C runtime sets up a file by default, line-buffered (a
// write per line: what gathering the traces saves), or as the daemon sets it
// up (qd::GatherTraceLines: fully buffered in 16 KiB, every line but the
// gathered traces flushed at once). glibc lets a flushed stream change
// its buffering.
int RunLibrary(int bufferMode) {
    (void)std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int log = open(Work().libraryLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (saved < 0 || log < 0) {
        return -1;
    }
    (void)dup2(log, STDOUT_FILENO);
    (void)close(log);
    if (bufferMode == kDaemonLog) {
        qd::GatherTraceLines();
    } else {
        (void)std::setvbuf(stdout, nullptr, bufferMode, BUFSIZ);
    }
    const int result =
        libqdupk_update(Work().package.c_str(), "perf", Work().dir.c_str(), AcceptItem);
    (void)std::fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return result;
}

int RunLibraryFullyBuffered() {
    return RunLibrary(_IOFBF);
}

int RunLibraryLineBuffered() {
    return RunLibrary(_IOLBF);
}

int RunLibraryDaemonLog() {
    return RunLibrary(kDaemonLog);
}

int RunPlainTools() {
    const std::string command = "md5sum -- '" + Work().data + "' >/dev/null && cp -- '" +
                                Work().data + "' '" + Work().copy + "'";
    return std::system(command.c_str());
}

double CpuSeconds(int who) {
    rusage usage{};
    (void)getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall time is what counts; the processor time of the work (this process
// for the library, the children for the plain tools) is reported too, as
// it suffers less when other work shares the machine.
void Timed(benchmark::State& state, int (*run)(), int cpuOf, const std::string& output,
           const char* what) {
    double cpu = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        ResetOutputs();
        const double before = CpuSeconds(cpuOf);
        state.ResumeTiming();
        const int result = run();
        cpu += CpuSeconds(cpuOf) - before;
        if (result != 0) {
            state.SkipWithError(what);
            break;
        }
    }
    if (FileSize(output) != FileSize(Work().data)) {
        state.SkipWithError("output has the wrong size");
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FileSize(Work().data));
}

void BM_Library(benchmark::State& state) {
    Timed(state, RunLibraryFullyBuffered, RUSAGE_SELF, Work().itemFile, "libqdupk_update failed");
}

void BM_LibraryLineBufferedLog(benchmark::State& state) {
    Timed(state, RunLibraryLineBuffered, RUSAGE_SELF, Work().itemFile, "libqdupk_update failed");
}

void BM_LibraryDaemonLog(benchmark::State& state) {
    Timed(state, RunLibraryDaemonLog, RUSAGE_SELF, Work().itemFile, "libqdupk_update failed");
}

void BM_PlainTools(benchmark::State& state) {
    Timed(state, RunPlainTools, RUSAGE_CHILDREN, Work().copy, "md5sum or cp failed");
}

// One pass is a whole job of about a second: one iteration per repetition.
// Repetitions are interleaved (see main), so a busy moment of the machine
// does not fall on one side only.
BENCHMARK(BM_Library)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryLineBufferedLog)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryDaemonLog)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainTools)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Seconds of every repetition, by benchmark: wall time, and processor
// time under "<name>/cpu".
std::map<std::string, std::vector<double>>& Times() {
    static std::map<std::string, std::vector<double>> times;
    return times;
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const std::string& name = run.run_name.function_name;
                Times()[name].push_back(run.GetAdjustedRealTime() / 1000.0);
                const auto cpu = run.counters.find("cpu_s");
                if (cpu != run.counters.end()) {
                    Times()[name + "/cpu"].push_back(cpu->second.value);
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

struct Summary {
    double median, best;
};

bool Summarize(const std::string& name, Summary* out) {
    std::vector<double> times = Times()[name];
    if (times.empty()) {
        return false;
    }
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    out->median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    out->best = times.front();
    return true;
}

void PrintRatio(const char* label, const std::string& library) {
    Summary lib{};
    Summary plain{};
    Summary libCpu{};
    Summary plainCpu{};
    if (!Summarize(library, &lib) || !Summarize("BM_PlainTools", &plain) ||
        !Summarize(library + "/cpu", &libCpu) || !Summarize("BM_PlainTools/cpu", &plainCpu)) {
        std::printf("extract %s: no result\n", label);
        return;
    }
    std::printf(
        "extract %lld MiB, %s: library median %.3f s (best %.3f), plain tools median %.3f s "
        "(best %.3f), ratio median %.3f (best %.3f); cpu %.3f s against %.3f s, ratio %.3f\n",
        FileSize(Work().data) >> 20, label, lib.median, lib.best, plain.median, plain.best,
        lib.median / plain.median, lib.best / plain.best, libCpu.median, plainCpu.median,
        libCpu.median / plainCpu.median);
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults first, so flags given on the command line win.
    char repetitions[] = "--benchmark_repetitions=3";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args = {argv[0], repetitions, interleave};
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    argc = count;
    argv = args.data();
    if (argc != 2 || FileSize(std::string(argv[1]) + "/package.upg") <= 0 ||
        FileSize(std::string(argv[1]) + "/data.bin") <= 0) {
        (void)std::fprintf(stderr,
                           "usage: extract_bench WORKDIR (with package.upg and data.bin)\n");
        return 2;
    }
    SetWorkDir(argv[1]);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintRatio("log fully buffered", "BM_Library");
    PrintRatio("log line-buffered", "BM_LibraryLineBufferedLog");
    PrintRatio("log as the daemon's", "BM_LibraryDaemonLog");
    ResetOutputs();
    (void)std::remove(Work().libraryLog.c_str());
    return !Times()["BM_Library"].empty() && !Times()["BM_PlainTools"].empty() ? 0 : 1;
}
