// The virtual camera: the only way tests start the daemon. It wraps
// scripts/vcam.sh: a device network namespace whose veth end is eth0, a PC
// namespace on the other end, logging stand-ins for reboot, sync, killall
// and the flash tools first in PATH, and the daemon in its own PID and mount
// namespaces. Everything is torn down when the object goes, on every path.
#ifndef QD_TEST_VIRTUAL_CAMERA_H
#define QD_TEST_VIRTUAL_CAMERA_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "camera_config.h"
#include "child_process.h"
#include "qd_owners.h"
#include "test_timing.h"

namespace qdtest {

// Why the rig cannot run on this machine (not root, no "ip netns", ...);
// empty when it can.
std::string RigUnavailableReason();

// First statement of every rig test: skips it, with the reason, where the
// rig cannot run.
#define QD_SKIP_WITHOUT_RIG()                                          \
    do {                                                               \
        const std::string qdRigWhy = ::qdtest::RigUnavailableReason(); \
        if (!qdRigWhy.empty()) {                                       \
            GTEST_SKIP() << "virtual camera: " << qdRigWhy;            \
        }                                                              \
    } while (0)

// The camera's facts, as "vcam.sh info" prints them.
struct CameraInfo {
    std::string name, devNs, pcNs;
    std::string devAddr, pcAddr;  // eth0's address (when it has one), the PC's
    std::string workDir;          // the daemon's working directory
    std::string tmpDir;           // its TMPDIR, and tmpdir of written configs
    std::string stubDir;          // stand-ins, first in the daemon's PATH
    std::string filesDir;         // copies of files named to a stand-in
    std::string daemonLog;        // the daemon's stdout and stderr
    std::string callLog;          // one line per stand-in call: tool and args
    std::string rigLog;           // the rig's own messages
    // The upper layer of the camera's root: what the daemon and package
    // scripts changed outside the workspace, at the same paths below it.
    std::string upperDir;
};

// "key=value" lines as the rig's scripts print them, and the camera's facts
// among them (std::runtime_error when one is missing).
std::map<std::string, std::string> ParseKeyValues(const std::string& text);
CameraInfo ParseCameraInfo(const std::map<std::string, std::string>& values);

// argv that runs argv in the rig's network namespace `ns` (nsenter, which
// leaves mount propagation alone).
std::vector<std::string> InNetNs(const std::string& ns, const std::vector<std::string>& argv);

class VirtualCamera {
  public:
    // Brings the camera up; eth0 gets its address unless withAddress is false.
    // Throws std::runtime_error when that fails (nothing is left behind).
    explicit VirtualCamera(bool withAddress = true);
    ~VirtualCamera();
    VirtualCamera(const VirtualCamera&) = delete;
    VirtualCamera& operator=(const VirtualCamera&) = delete;

    const CameraInfo& info() const { return info_; }

    // Writes MakeConfigText(options) into the working directory (tmpdir
    // defaults to the camera's) and returns its full path. Flash tools named
    // without a directory get logging stand-ins.
    std::string WriteConfig(ConfigOptions options, const std::string& fileName = "qdboot.cfg");
    // One more logging stand-in, e.g. a flash tool under another name.
    void AddStandIn(const std::string& tool);
    // From now on the stand-in exits with `status` (0: succeeds again).
    void SetStandInExit(const std::string& tool, int status) const;
    // While held, the stand-in waits after recording its call.
    void HoldStandIn(const std::string& tool, bool held) const;

    // Runs the daemon with these arguments (passed unchanged; none means it
    // reads ./qdboot.cfg). Clears the daemon and call logs first.
    void Start(const std::vector<std::string>& args = {});
    // Another program in the daemon's place (rig tests use a stand-in).
    void UseDaemon(const std::string& path) { daemonPath_ = path; }
    // For the next Start, in the daemon's mount namespace only: a tmpfs of
    // this size (e.g. "64k") on the camera's tmp directory, and directories
    // made read-only. The test sees neither; DaemonView shows them.
    void UseTmpfs(const std::string& size) { tmpfsSize_ = size; }
    void MakeReadOnly(const std::string& dir) { readOnly_.push_back(dir); }
    // One more "KEY=value" for the rig from the next Start on (VCAM_BOOT_HOOK
    // and the like; see scripts/vcam.sh --help).
    void AddEnvironment(const std::string& keyValue) { extraEnv_.push_back(keyValue); }
    // Drops what AddEnvironment gave for KEY, from the next Start on.
    void RemoveEnvironment(const std::string& key);
    // A path as the running daemon sees it (through its mount namespace).
    std::string DaemonView(const std::string& path) const;
    bool Running() { return daemon_.Running(); }
    // The exit status (128 + signal when killed) once the daemon has ended.
    std::optional<int> WaitExit(Millis timeout) { return daemon_.Wait(timeout); }
    // Ends the daemon and everything in its PID namespace.
    void Stop() { daemon_.Kill(); }

    std::string Log() const;
    // Patterns are POSIX extended regular expressions (no \d: use [0-9]),
    // searched for anywhere in the log or in one stand-in call's line.
    bool WaitForLog(const std::string& regex, Millis timeout) const;
    std::vector<std::string> Calls() const;
    bool WaitForCall(const std::string& regex, Millis timeout) const;

    // A command in the PC or device network namespace (the host's files).
    CommandResult Pc(const std::vector<std::string>& argv, Millis timeout = Millis(10000)) const;
    CommandResult Dev(const std::vector<std::string>& argv, Millis timeout = Millis(10000)) const;
    void AddAddress() const;
    void RemoveAddress() const;
    std::string MacAddress() const;  // eth0's, lower case
    // Whether a TCP socket listens on this port in the device namespace.
    bool Listening(std::uint16_t port) const;
    // A socket created inside the PC namespace: connect, send and receive
    // on it from the test itself as the upgrade tool would.
    qd::UniqueFd PcSocket(int type) const;

    // build/bin/qdboot of this build, or $QD_TEST_QDBOOT when set.
    static std::string DefaultDaemon();

  private:
    CommandResult Vcam(const std::vector<std::string>& args, Millis timeout = Millis(30000)) const;
    std::vector<std::string> Environment() const;

    std::string name_;
    std::string daemonPath_;
    std::string tmpfsSize_;
    std::vector<std::string> readOnly_;
    std::vector<std::string> extraEnv_;
    CameraInfo info_;
    ChildProcess daemon_;
};

}  // namespace qdtest

#endif  // QD_TEST_VIRTUAL_CAMERA_H
