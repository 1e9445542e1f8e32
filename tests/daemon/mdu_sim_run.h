// Test side of the MCU updater's tests: the loader simulator as a child
// process on its own pseudo-terminal, its frame log read back, and a
// stand-in killall first in PATH.
#ifndef QD_TEST_MDU_SIM_RUN_H
#define QD_TEST_MDU_SIM_RUN_H

#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace qdtest {

using Bytes = std::vector<unsigned char>;

struct LoggedFrame {
    double seconds = 0;  // since the simulator started
    Bytes bytes;
};

class McuSimRun {
  public:
    // Starts bin/mcu-sim with the extra options (fault knobs) and waits
    // until it has published its slave path. Throws std::runtime_error.
    McuSimRun(const ScratchDir& dir, const std::vector<std::string>& options = {});

    const std::string& slavePath() const { return slavePath_; }
    std::string imagePath() const { return dir_ + "/received.bin"; }

    // The frames the simulator received from the host, in order.
    std::vector<LoggedFrame> Frames() const;
    std::string Log() const;

  private:
    std::string dir_;
    std::string slavePath_;
    ChildProcess sim_;
};

// Puts a killall that only logs its arguments to dir/killall.calls first in
// PATH. False when `command -v killall` does not then resolve to it.
bool InstallKillallStandIn(const ScratchDir& dir);
std::string KillallCalls(const ScratchDir& dir);

// XOR of the bytes, the checksum of every frame of the protocol.
unsigned char XorOf(const Bytes& bytes);
Bytes ResetFrame();
Bytes DataBlock(unsigned sequence, const Bytes& data);

}  // namespace qdtest

#endif  // QD_TEST_MDU_SIM_RUN_H
