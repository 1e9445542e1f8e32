#include "virtual_camera.h"

#include <fcntl.h>
#include <regex.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "target_exec.h"
#include "test_support.h"
#include "test_timing.h"

namespace qdtest {

namespace {

const char kVcamScript[] = QD_SOURCE_DIR "/scripts/vcam.sh";
const char kRigLib[] = QD_SOURCE_DIR "/scripts/rig_lib.sh";

// POSIX extended expressions rather than <regex>: GCC's flow analysis of
// libstdc++'s regex compiler reports uninitialised reads in optimised
// sanitizer builds, and what the tests look for needs nothing more.
class Pattern {
  public:
    explicit Pattern(const std::string& text) {
        const int rc = regcomp(&re_, text.c_str(), REG_EXTENDED | REG_NOSUB);
        if (rc != 0) {
            char why[128];
            (void)regerror(rc, &re_, why, sizeof why);
            throw std::invalid_argument("pattern \"" + text + "\": " + why);
        }
    }
    ~Pattern() { regfree(&re_); }
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    bool FoundIn(const std::string& text) const {
        return regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

  private:
    regex_t re_{};
};

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    const auto end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string ReadIfPresent(const std::string& path) {
    return FileExists(path) ? ReadFile(path) : std::string();
}

std::string UniqueName() {
    static std::atomic<int> counter{0};
    return "cam" + std::to_string(counter++);
}

// A port listens when /proc/net/tcp has it as local port in state 0A.
bool HasListener(const std::string& procNetTcp, std::uint16_t port) {
    std::istringstream in(procNetTcp);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon != std::string::npos && state == "0A" &&
            std::stoul(local.substr(colon + 1), nullptr, 16) == port) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

CameraInfo ParseCameraInfo(const std::map<std::string, std::string>& v) {
    auto at = [&v](const char* key) {
        const auto it = v.find(key);
        if (it == v.end()) {
            throw std::runtime_error(std::string("vcam.sh up did not report ") + key);
        }
        return it->second;
    };
    return CameraInfo{at("name"),    at("devns"),  at("pcns"),  at("devaddr"), at("pcaddr"),
                      at("workdir"), at("tmpdir"), at("stubs"), at("files"),   at("daemonlog"),
                      at("calls"),   at("riglog"), at("upper")};
}

std::string RigUnavailableReason() {
    static const std::string reason = [] {
        // vcam.sh execs the daemon itself, which cannot run a binary built
        // for another machine.
        if (UnderEmulator()) {
            return std::string("tests run under user-mode emulation (cross build)");
        }
        if (geteuid() != 0) {
            return std::string("needs root for network namespaces");
        }
        const CommandResult r =
            RunCommand({"sh", "-c",
                        "ip netns list >/dev/null && command -v unshare && command -v setpriv && "
                        "command -v nsenter && command -v pivot_root"},
                       Millis(10000));
        if (r.status != 0) {
            return "ip netns, unshare, setpriv, nsenter or pivot_root unavailable: " + r.output;
        }
        // A camera's daemon needs a root of its own, which a chroot cannot give.
        const CommandResult root =
            RunCommand({"/bin/sh", "-c", ". \"$0\" && ! rig_root_problem", kRigLib}, Millis(10000));
        if (root.status != 0) {
            return Trim(root.output);
        }
        return std::string();
    }();
    return reason;
}

VirtualCamera::VirtualCamera(bool withAddress) : name_(UniqueName()), daemonPath_(DefaultDaemon()) {
    std::vector<std::string> args = {"up", name_};
    if (!withAddress) {
        args.emplace_back("--no-addr");
    }
    const CommandResult r = Vcam(args);
    if (r.status != 0) {
        throw std::runtime_error("vcam.sh up failed: " + r.output);
    }
    info_ = ParseCameraInfo(ParseKeyValues(r.output));
}

VirtualCamera::~VirtualCamera() {
    daemon_.Kill();
    const CommandResult r = Vcam({"down", name_});
    if (r.status != 0) {
        std::cerr << "vcam.sh down " << name_ << " failed: " << r.output << "\n";
    }
}

std::string VirtualCamera::DefaultDaemon() {
    const char* chosen = std::getenv("QD_TEST_QDBOOT");
    return chosen != nullptr && *chosen != '\0' ? chosen : QD_BINARY_DIR "/bin/qdboot";
}

void VirtualCamera::RemoveEnvironment(const std::string& key) {
    const std::string prefix = key + "=";
    extraEnv_.erase(std::remove_if(extraEnv_.begin(), extraEnv_.end(),
                                   [&](const std::string& kv) { return kv.rfind(prefix, 0) == 0; }),
                    extraEnv_.end());
}

std::vector<std::string> VirtualCamera::Environment() const {
    std::string readOnly;
    for (const std::string& dir : readOnly_) {
        readOnly += (readOnly.empty() ? "" : " ") + dir;
    }
    std::vector<std::string> env = {"VCAM_OWNER=" + std::to_string(getpid()),
                                    "VCAM_QDBOOT=" + daemonPath_, "VCAM_TMPFS_SIZE=" + tmpfsSize_,
                                    "VCAM_READONLY=" + readOnly};
    env.insert(env.end(), extraEnv_.begin(), extraEnv_.end());
    return env;
}

// The first process of the daemon's PID namespace, the recorded unshare
// process's child, shares the daemon's mounts; its /proc root shows them.
std::string VirtualCamera::DaemonView(const std::string& path) const {
    const std::string pidFile = info_.workDir + "/../daemon.pid";
    const std::string unsharePid = Trim(ReadIfPresent(pidFile));
    const std::string children =
        Trim(ReadIfPresent("/proc/" + unsharePid + "/task/" + unsharePid + "/children"));
    if (unsharePid.empty() || children.empty()) {
        throw std::runtime_error("the daemon of " + name_ + " is not running");
    }
    return "/proc/" + children.substr(0, children.find(' ')) + "/root" + path;
}

CommandResult VirtualCamera::Vcam(const std::vector<std::string>& args, Millis timeout) const {
    std::vector<std::string> argv = {"/bin/sh", kVcamScript};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeout, Environment());
}

std::string VirtualCamera::WriteConfig(ConfigOptions options, const std::string& fileName) {
    if (options.tmpdir.empty()) {
        options.tmpdir = info_.tmpDir;
    }
    for (const std::string& tool : {options.eraseCmd, options.copyCmd}) {
        if (!tool.empty() && tool.find('/') == std::string::npos) {
            AddStandIn(tool);
        }
    }
    std::string path =
        !fileName.empty() && fileName.front() == '/' ? fileName : info_.workDir + "/" + fileName;
    WriteFile(path, MakeConfigText(options));
    return path;
}

void VirtualCamera::AddStandIn(const std::string& tool) {
    const CommandResult r = Vcam({"stub", name_, tool});
    if (r.status != 0) {
        throw std::runtime_error("vcam.sh stub failed: " + r.output);
    }
}

void VirtualCamera::SetStandInExit(const std::string& tool, int status) const {
    const std::string path = info_.stubDir + "/" + tool + ".exit";
    if (status == 0) {
        static_cast<void>(std::remove(path.c_str()));
    } else {
        WriteFile(path, std::to_string(status) + "\n");
    }
}

void VirtualCamera::HoldStandIn(const std::string& tool, bool held) const {
    const std::string path = info_.stubDir + "/" + tool + ".hold";
    if (held) {
        WriteFile(path, "");
    } else {
        static_cast<void>(std::remove(path.c_str()));
    }
}

void VirtualCamera::Start(const std::vector<std::string>& args) {
    if (daemon_.Running()) {
        throw std::runtime_error("the daemon of " + name_ + " is already running");
    }
    // Cleared here rather than by the script, which runs asynchronously: a
    // wait that follows must not see the previous run's lines.
    WriteFile(info_.daemonLog, "");
    WriteFile(info_.callLog, "");
    const qd::UniqueFd rigLog(
        open(info_.rigLog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    std::vector<std::string> argv = {"/bin/sh", kVcamScript, "start", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    daemon_.Start(argv, Environment(), rigLog.get());
}

std::string VirtualCamera::Log() const {
    return ReadIfPresent(info_.daemonLog);
}

bool VirtualCamera::WaitForLog(const std::string& regex, Millis timeout) const {
    const Pattern pattern(regex);
    return PollUntil(timeout, [&] { return pattern.FoundIn(Log()); });
}

std::vector<std::string> VirtualCamera::Calls() const {
    return SplitLines(ReadIfPresent(info_.callLog));
}

bool VirtualCamera::WaitForCall(const std::string& regex, Millis timeout) const {
    const Pattern pattern(regex);
    return PollUntil(timeout, [&] {
        for (const std::string& call : Calls()) {
            if (pattern.FoundIn(call)) {
                return true;
            }
        }
        return false;
    });
}

std::vector<std::string> InNetNs(const std::string& ns, const std::vector<std::string>& argv) {
    std::vector<std::string> full = {"nsenter", "--net=/run/netns/" + ns};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

CommandResult VirtualCamera::Pc(const std::vector<std::string>& argv, Millis timeout) const {
    return RunCommand(InNetNs(info_.pcNs, argv), timeout);
}

CommandResult VirtualCamera::Dev(const std::vector<std::string>& argv, Millis timeout) const {
    return RunCommand(InNetNs(info_.devNs, argv), timeout);
}

void VirtualCamera::AddAddress() const {
    const CommandResult r = Vcam({"addr", name_});
    if (r.status != 0) {
        throw std::runtime_error("vcam.sh addr failed: " + r.output);
    }
}

void VirtualCamera::RemoveAddress() const {
    const CommandResult r = Vcam({"deladdr", name_});
    if (r.status != 0) {
        throw std::runtime_error("vcam.sh deladdr failed: " + r.output);
    }
}

// From the link itself: /sys shows the network devices of the namespace
// that mounted it, the host's here.
std::string VirtualCamera::MacAddress() const {
    std::istringstream fields(Dev({"ip", "-br", "link", "show", "dev", "eth0"}).output);
    std::string name, state, mac;
    fields >> name >> state >> mac;
    return mac;
}

bool VirtualCamera::Listening(std::uint16_t port) const {
    return HasListener(Dev({"cat", "/proc/net/tcp"}).output, port);
}

qd::UniqueFd VirtualCamera::PcSocket(int type) const {
    const std::string nsPath = "/run/netns/" + info_.pcNs;
    const qd::UniqueFd ns(open(nsPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!ns.valid()) {
        throw std::runtime_error("cannot open " + nsPath + ": " + std::strerror(errno));
    }
    // Only this short-lived thread enters the namespace; the socket keeps it.
    int fd = -1;
    int error = 0;
    std::thread([&] {
        if (setns(ns.get(), CLONE_NEWNET) != 0) {
            error = errno;
            return;
        }
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        error = errno;
    }).join();
    if (fd < 0) {
        throw std::runtime_error(std::string("socket in the PC namespace: ") +
                                 std::strerror(error));
    }
    return qd::UniqueFd(fd);
}

}  // namespace qdtest
