// mcu-sim: plays the dome MCU's firmware loader on a pseudo-terminal so the
// MCU updater can be run without hardware.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "loader.h"
#include "options.h"
#include "qd_owners.h"
#include "sim_pty.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int /*signo*/) {
    g_stop = 1;
}

class FrameLog {
  public:
    explicit FrameLog(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}

    void Line(const char* tag, const std::string& text) {
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start_;
        // The log only records the exchange; the simulator answers the same
        // whether or not the line could be written.
        static_cast<void>(std::fprintf(out_, "%.3f %s %s\n", t.count(), tag, text.c_str()));
        static_cast<void>(std::fflush(out_));
    }

  private:
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
};

bool WriteWhole(int fd, const mcusim::Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool StoreImage(const std::string& path, const mcusim::Bytes& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}

// Answers one frame; true when the simulator should stop (--once).
bool Answer(const mcusim::SimOptions& opt, mcusim::Loader& loader, int master, FrameLog& log,
            const mcusim::FrameResult& r) {
    if (!r.frame.empty()) {
        log.Line("RX", mcusim::Hex(r.frame));
    }
    for (const std::string& note : r.notes) {
        log.Line("#", note);
    }
    if (r.imageReady && !opt.imagePath.empty()) {
        const bool stored = StoreImage(opt.imagePath, loader.Image());
        log.Line("#", (stored ? "image stored: " : "image NOT stored: ") +
                          std::to_string(loader.Image().size()) + " bytes");
    }
    if (!r.reply.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.delayMs));
        if (!WriteWhole(master, r.reply)) {
            log.Line("#", "reply could not be written");
        }
        log.Line("TX", mcusim::Hex(r.reply));
    }
    return r.transferDone && opt.once;
}

int Serve(const mcusim::SimOptions& opt, const mcusim::SimPty& pty, FrameLog& log) {
    mcusim::Loader loader(opt.faults);
    std::uint8_t buffer[4096];
    while (g_stop == 0) {
        struct pollfd pfd = {pty.master(), POLLIN, 0};
        // A frame left half-received for a second is given up, so the next
        // frame is not glued to its remains.
        const int ready = poll(&pfd, 1, loader.HasPartial() ? 1000 : 200);
        if (ready == 0 && loader.HasPartial()) {
            log.Line("#", loader.DropPartial());
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t got = read(pty.master(), buffer, sizeof buffer);
        if (got <= 0) {
            // Without a reader on the slave side the master reports EIO
            // until someone opens it again.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        for (const auto& r : loader.Feed(buffer, static_cast<std::size_t>(got))) {
            if (Answer(opt, loader, pty.master(), log, r)) {
                pty.WaitDrained(2000);
                return 0;
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    mcusim::SimOptions opt;
    const int parsed = mcusim::ParseOptions(argc, argv, &opt);
    if (parsed >= 0) {
        return parsed;
    }
    qd::FilePtr logFile;
    if (!opt.logPath.empty()) {
        logFile.reset(std::fopen(opt.logPath.c_str(), "w"));
        if (!logFile) {
            static_cast<void>(
                std::fprintf(stderr, "mcu-sim: cannot write %s\n", opt.logPath.c_str()));
            return 1;
        }
    }
    mcusim::SimPty pty;
    std::string error;
    if (!pty.Open(&error) || (!opt.pathFile.empty() && !pty.PublishPath(opt.pathFile, &error))) {
        static_cast<void>(std::fprintf(stderr, "mcu-sim: %s\n", error.c_str()));
        return 1;
    }
    std::printf("%s\n", pty.slavePath().c_str());
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::signal(SIGTERM, OnSignal));
    static_cast<void>(std::signal(SIGINT, OnSignal));
    FrameLog log(logFile ? logFile.get() : stdout);
    return Serve(opt, pty, log);
}
