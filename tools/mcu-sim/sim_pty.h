// A pseudo-terminal whose slave is raw before anyone else opens it, and
// stays open on the simulator's side so a host that opens and closes the
// slave never leaves the master in hang-up.
#ifndef MCU_SIM_PTY_H
#define MCU_SIM_PTY_H

#include <string>

#include "qd_owners.h"

namespace mcusim {

class SimPty {
  public:
    SimPty() = default;

    bool Open(std::string* error);
    // Writes the slave path to file through a temporary name and a rename,
    // so a script polling for the file never reads half of it.
    bool PublishPath(const std::string& file, std::string* error) const;

    // Waits (at most timeoutMs) until the host has read everything sent to
    // it: closing the master earlier would hang the line up under the host
    // and lose the last reply.
    void WaitDrained(int timeoutMs) const;

    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }

  private:
    // Declared in this order so the slave is closed first: the master stays
    // until nothing can hang up under it.
    qd::UniqueFd master_;
    qd::UniqueFd slave_;
    std::string slavePath_;
};

}  // namespace mcusim

#endif  // MCU_SIM_PTY_H
