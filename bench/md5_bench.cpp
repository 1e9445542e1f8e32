// MD5 throughput of the package library next to OpenSSL's, on the chunk size
// the verification pass uses (4 KiB) and on one large buffer. Run:
//   build/bin/md5_bench
// The summary line at the end gives the library's speed as a fraction of
// OpenSSL's for both cases.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libqdupdate.h"

namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kLarge = 64U << 20;

std::vector<unsigned char> MakeData(std::size_t size) {
    std::vector<unsigned char> data(size);
    std::uint32_t x = 0x12345678;
    for (unsigned char& byte : data) {
        x = x * 1664525U + 1013904223U;
        byte = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

const std::vector<unsigned char>& Data(std::size_t size) {
    static std::map<std::size_t, std::vector<unsigned char>> cache;
    auto it = cache.find(size);
    if (it == cache.end()) {
        it = cache.emplace(size, MakeData(size)).first;
    }
    return it->second;
}

// Bytes per second of each run, for the summary.
std::map<std::string, double>& Rates() {
    static std::map<std::string, double> rates;
    return rates;
}

void Record(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
    state.counters["MiB/s"] = benchmark::Counter(static_cast<double>(size) / (1U << 20),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

// One whole message per iteration, fed in 4 KiB updates as the library's
// verification pass does.
void Library(benchmark::State& state, std::size_t size) {
    const std::vector<unsigned char>& data = Data(size);
    unsigned char digest[16];
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        MD5_CTX ctx;
        libqdupk_MD5Init(&ctx);
        for (std::size_t off = 0; off < size; off += kChunk) {
            libqdupk_MD5Update(&ctx, data.data() + off, static_cast<unsigned int>(kChunk));
        }
        libqdupk_MD5Final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    Record(state, size);
}

void OpenSsl(benchmark::State& state, std::size_t size) {
    const std::vector<unsigned char>& data = Data(size);
    EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (md5 == nullptr || ctx == nullptr) {
        state.SkipWithError("OpenSSL has no MD5");
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        EVP_DigestInit_ex(ctx, md5, nullptr);
        for (std::size_t off = 0; off < size; off += kChunk) {
            EVP_DigestUpdate(ctx, data.data() + off, kChunk);
        }
        EVP_DigestFinal_ex(ctx, digest, &len);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md5);
    Record(state, size);
}

void BM_Library_4KiB(benchmark::State& state) {
    Library(state, kChunk);
}
void BM_OpenSsl_4KiB(benchmark::State& state) {
    OpenSsl(state, kChunk);
}
void BM_Library_64MiB(benchmark::State& state) {
    Library(state, kLarge);
}
void BM_OpenSsl_64MiB(benchmark::State& state) {
    OpenSsl(state, kLarge);
}

BENCHMARK(BM_Library_4KiB);
BENCHMARK(BM_OpenSsl_4KiB);
BENCHMARK(BM_Library_64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSsl_64MiB)->Unit(benchmark::kMillisecond);

// Collects each run's rate so the ratio can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colour only on a terminal, so a saved run reads cleanly.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.run_type == Run::RT_Iteration) {
                Rates()[run.benchmark_name()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatio(const char* label, const char* library, const char* openssl) {
    const auto lib = Rates().find(library);
    const auto ssl = Rates().find(openssl);
    if (lib == Rates().end() || ssl == Rates().end() || ssl->second <= 0) {
        return;
    }
    std::printf("md5 %s: library %.0f MiB/s, OpenSSL %.0f MiB/s, ratio %.3f\n", label,
                lib->second / (1U << 20), ssl->second / (1U << 20), lib->second / ssl->second);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintRatio("4 KiB", "BM_Library_4KiB", "BM_OpenSsl_4KiB");
    PrintRatio("64 MiB", "BM_Library_64MiB", "BM_OpenSsl_64MiB");
    return 0;
}
