#include "virtual_lan.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "qd_owners.h"
#include "test_support.h"

namespace qdtest {

namespace {

const char kVlanScript[] = QD_SOURCE_DIR "/scripts/vlan.sh";
const char kMcuSim[] = QD_BINARY_DIR "/bin/mcu-sim";

// LAN names are unique on the machine, and test programs run side by side.
std::string UniqueLanName() {
    static std::atomic<int> counter{0};
    return "lan" + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

std::string At(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto it = values.find(key);
    if (it == values.end()) {
        throw std::runtime_error("vlan.sh up did not report " + key);
    }
    return it->second;
}

// The "cI.key=value" lines of camera I, without their prefix.
std::map<std::string, std::string> CameraValues(const std::map<std::string, std::string>& all,
                                                int i) {
    const std::string prefix = "c" + std::to_string(i + 1) + ".";
    std::map<std::string, std::string> values;
    for (const auto& [key, value] : all) {
        if (key.compare(0, prefix.size(), prefix) == 0) {
            values[key.substr(prefix.size())] = value;
        }
    }
    return values;
}

LanCamera ToLanCamera(const std::map<std::string, std::string>& v) {
    return LanCamera{ParseCameraInfo(v), At(v, "devaddr") + ":" + std::to_string(VirtualLan::kPort),
                     At(v, "dest"), At(v, "mcuframes"), At(v, "workspace")};
}

std::string Owner() {
    return "VCAM_OWNER=" + std::to_string(getpid());
}

std::string ReadIfPresent(const std::string& path) {
    return FileExists(path) ? ReadFile(path) : std::string();
}

}  // namespace

VirtualLan::VirtualLan(int cameras, int bootDelaySeconds)
    : name_(UniqueLanName()), bootDelay_(bootDelaySeconds) {
    const CommandResult up = Vlan({"up", name_, std::to_string(cameras)}, Millis(120000));
    if (up.status != 0) {
        throw std::runtime_error("vlan.sh up failed: " + up.output);
    }
    const CommandResult r = Vlan({"info", name_}, Millis(30000));
    if (r.status != 0) {
        Vlan({"down", name_}, Millis(120000));
        throw std::runtime_error("vlan.sh info failed: " + r.output);
    }
    const std::map<std::string, std::string> values = ParseKeyValues(r.output);
    pcNs_ = At(values, "pcns");
    sharedDest_ = At(values, "dest");
    absentAddr_ = At(values, "absentaddr");
    workspace_ = At(values, "workspace");
    for (int i = 0; i < cameras; ++i) {
        cameras_.push_back(ToLanCamera(CameraValues(values, i)));
    }
}

VirtualLan::~VirtualLan() {
    started_.Kill();
    const CommandResult r = Vlan({"down", name_}, Millis(120000));
    if (r.status != 0) {
        std::cerr << "vlan.sh down " << name_ << " failed: " << r.output << "\n";
    }
}

CommandResult VirtualLan::Vlan(const std::vector<std::string>& args, Millis timeout) const {
    std::vector<std::string> argv = {"/bin/sh", kVlanScript};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeout, {Owner()});
}

::testing::AssertionResult VirtualLan::Start(const std::vector<std::string>& options) {
    const std::string log = workspace_ + "/start.log";
    std::vector<std::string> argv = {"/bin/sh",      kVlanScript,
                                     "start",        name_,
                                     "--qdboot",     VirtualCamera::DefaultDaemon(),
                                     "--mcu-sim",    kMcuSim,
                                     "--boot-delay", std::to_string(bootDelay_)};
    argv.insert(argv.end(), options.begin(), options.end());
    const qd::UniqueFd out(open(log.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644));
    started_.Start(argv, {Owner()}, out.get());
    const auto ready = [&] { return ReadIfPresent(log).find("ready\n") != std::string::npos; };
    if (!PollUntil(Millis(60000), [&] { return ready() || !started_.Running(); }) || !ready()) {
        return ::testing::AssertionFailure() << "vlan.sh start did not get ready:\n"
                                             << ReadIfPresent(log);
    }
    return ::testing::AssertionSuccess();
}

bool VirtualLan::Serving(int i) const {
    return Vlan({"serving", name_, std::to_string(i + 1)}, Millis(10000)).status == 0;
}

::testing::AssertionResult VirtualLan::WaitServing() const {
    if (PollUntil(Millis(20000), [&] {
            return Vlan({"serving", name_}, Millis(10000)).status == 0;
        })) {
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    for (int i = 0; i < size(); ++i) {
        if (!Serving(i)) {
            failure << camera(i).info.name << " does not serve; log:\n"
                    << Log(i) << "\nrig:\n"
                    << RigLog(i) << "\n";
        }
    }
    return failure;
}

void VirtualLan::Shape(int i, const std::string& rate) const {
    const CommandResult r = Vlan({"slow", name_, std::to_string(i + 1), rate}, Millis(10000));
    if (r.status != 0) {
        throw std::runtime_error("vlan.sh slow failed: " + r.output);
    }
}

CommandResult VirtualLan::Pc(const std::vector<std::string>& argv, Millis timeout) const {
    return RunCommand(InNetNs(pcNs_, argv), timeout);
}

std::vector<std::string> VirtualLan::Calls(int i) const {
    std::vector<std::string> lines;
    std::istringstream in(ReadIfPresent(camera(i).info.callLog));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string VirtualLan::Log(int i) const {
    return ReadIfPresent(camera(i).info.daemonLog);
}

std::string VirtualLan::McuFrames(int i) const {
    return ReadIfPresent(camera(i).mcuFrames);
}

std::string VirtualLan::RigLog(int i) const {
    return ReadIfPresent(camera(i).info.rigLog);
}

std::map<std::string, std::string> VirtualLan::BootState(int i) const {
    const CommandResult r = Vlan({"state", name_, std::to_string(i + 1)}, Millis(30000));
    if (r.status != 0) {
        throw std::runtime_error("vlan.sh state failed: " + r.output);
    }
    return ParseKeyValues(r.output);
}

}  // namespace qdtest
