#include "mdu_sim_run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "target_exec.h"
#include "test_timing.h"

namespace qdtest {

McuSimRun::McuSimRun(const ScratchDir& dir, const std::vector<std::string>& options)
    : dir_(dir.path()) {
    // With descriptor 0 closed (CI gives no standard input) the updater's
    // open of the line would get 0, which the serial library refuses.
    if (fcntl(0, F_GETFD) == -1) {
        (void)open("/dev/null", O_RDONLY);
    }
    std::vector<std::string> args = {"--path-file",     dir_ + "/sim.path", "--log",
                                     dir_ + "/sim.log", "--image",          imagePath()};
    args.insert(args.end(), options.begin(), options.end());
    const std::vector<std::string> argv = TargetArgv(BuildExecutable("mcu-sim"), args);
    sim_.Start(argv);
    static_cast<void>(PollUntil(Millis(5000), [this] { return FileExists(dir_ + "/sim.path"); }));
    std::string path = ReadFile(dir_ + "/sim.path");
    while (!path.empty() && path.back() == '\n') {
        path.pop_back();
    }
    if (path.empty()) {
        throw std::runtime_error("mcu-sim published no slave path");
    }
    slavePath_ = path;
}

std::string McuSimRun::Log() const {
    return ReadFile(dir_ + "/sim.log");
}

std::vector<LoggedFrame> McuSimRun::Frames() const {
    std::vector<LoggedFrame> frames;
    std::istringstream lines(Log());
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        LoggedFrame frame;
        std::string tag;
        fields >> frame.seconds >> tag;
        if (tag != "RX") {
            continue;
        }
        unsigned value = 0;
        while (fields >> std::hex >> value) {
            frame.bytes.push_back(static_cast<unsigned char>(value));
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

bool InstallKillallStandIn(const ScratchDir& dir) {
    const std::string bin = dir.file("stand-ins");
    mkdir(bin.c_str(), 0755);
    const std::string tool = bin + "/killall";
    WriteFile(tool, "#!/bin/sh\necho \"$*\" >> '" + dir.file("killall.calls") + "'\n");
    chmod(tool.c_str(), 0755);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);

    std::FILE* probe = popen("command -v killall", "r");
    if (probe == nullptr) {
        return false;
    }
    char found[512] = {};
    const bool read = std::fgets(found, sizeof found, probe) != nullptr;
    pclose(probe);
    return read && std::string(found) == tool + "\n";
}

std::string KillallCalls(const ScratchDir& dir) {
    return FileExists(dir.file("killall.calls")) ? ReadFile(dir.file("killall.calls")) : "";
}

unsigned char XorOf(const Bytes& bytes) {
    unsigned char sum = 0;
    for (unsigned char b : bytes) {
        sum ^= b;
    }
    return sum;
}

Bytes ResetFrame() {
    return {0xA0, 0x01, 0x00, 0x57, 0xAA, 0x00, 0xAF, 0xF3};
}

Bytes DataBlock(unsigned sequence, const Bytes& data) {
    Bytes frame(4 + 1024, 0x1A);
    frame[0] = 0xA5;
    frame[1] = 0xF8;
    frame[2] = static_cast<unsigned char>(sequence >> 8);
    frame[3] = static_cast<unsigned char>(sequence);
    std::copy(data.begin(), data.end(), frame.begin() + 4);
    frame.push_back(XorOf(frame));
    frame.push_back(0xAF);
    return frame;
}

}  // namespace qdtest
