// A LAN of virtual cameras (scripts/vlan.sh): one bridge in a namespace of
// its own, the PC namespace on it (interface pc0) and N cameras, each with
// its own network, PID and mount namespaces, daemon, workspace, stand-ins and
// MCU simulator. A camera's reboot stand-in ends its daemon, which starts
// again after the boot delay, so "came back" can be observed. Everything is
// torn down when the object goes, on every path; a crashed test's LAN is
// swept by the next rig run (by owner PID, as for single cameras).
#ifndef QD_TEST_VIRTUAL_LAN_H
#define QD_TEST_VIRTUAL_LAN_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace qdtest {

struct LanCamera {
    CameraInfo info;
    std::string target;     // "address:port" of its upload port
    std::string dest;       // what it sees at the LAN's shared destination
    std::string mcuFrames;  // its MCU simulator's frame log
    std::string workspace;
};

class VirtualLan {
  public:
    static constexpr std::uint16_t kPort = 8080;

    // Brings the bridge, the PC namespace and `cameras` cameras up (no daemon
    // runs yet). Throws std::runtime_error; nothing is left behind then.
    explicit VirtualLan(int cameras, int bootDelaySeconds = 2);
    ~VirtualLan();
    VirtualLan(const VirtualLan&) = delete;
    VirtualLan& operator=(const VirtualLan&) = delete;

    int size() const { return static_cast<int>(cameras_.size()); }
    const LanCamera& camera(int i) const { return cameras_.at(static_cast<std::size_t>(i)); }
    // The destination directory a package names; each camera has its own.
    const std::string& sharedDest() const { return sharedDest_; }
    const std::string& pcNs() const { return pcNs_; }
    // An address on the LAN where no camera answers.
    std::string AbsentTarget() const { return absentAddr_ + ":" + std::to_string(kPort); }

    // Starts the cameras with `vlan.sh start` and its options (e.g.
    // {"--refuse", "1", "--stall", "2"}) and waits until it says every
    // camera serves. A refusing camera has its shared destination read-only,
    // so it closes every upload that carries a file item without an answer.
    ::testing::AssertionResult Start(const std::vector<std::string>& options = {});
    // Every started camera listens and has joined the search group again.
    ::testing::AssertionResult WaitServing() const;
    // tbf on the bridge's port towards camera i, e.g. "100mbit".
    void Shape(int i, const std::string& rate) const;

    CommandResult Pc(const std::vector<std::string>& argv, Millis timeout) const;
    std::vector<std::string> Calls(int i) const;
    std::string Log(int i) const;
    std::string McuFrames(int i) const;
    // Lines the rig wrote for camera i ("rebooting", ...).
    std::string RigLog(int i) const;
    // An A/B camera's boot journal (qd_state, qd_slot, ...), its last boot
    // ("lastboot": "boot=N slot=X version=V behaviour=B") and its slots.
    std::map<std::string, std::string> BootState(int i) const;

  private:
    CommandResult Vlan(const std::vector<std::string>& args, Millis timeout) const;
    bool Serving(int i) const;

    std::string name_;
    int bootDelay_;
    std::string pcNs_, sharedDest_, absentAddr_, workspace_;
    std::vector<LanCamera> cameras_;
    ChildProcess started_;  // `vlan.sh start`: every camera's daemon dies with it
};

}  // namespace qdtest

#endif  // QD_TEST_VIRTUAL_LAN_H
