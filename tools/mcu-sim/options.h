// Command line of mcu-sim.
#ifndef MCU_SIM_OPTIONS_H
#define MCU_SIM_OPTIONS_H

#include <string>

#include "loader.h"

namespace mcusim {

struct SimOptions {
    std::string pathFile;   // where to publish the slave path
    std::string imagePath;  // where to store a received image
    std::string logPath;    // frame log; standard output when empty
    Faults faults;
    int delayMs = 0;
    bool once = false;
};

// Fills opt from the command line. Returns -1 to go on, otherwise the exit
// status to end with (after --help, or after a usage error).
int ParseOptions(int argc, char** argv, SimOptions* opt);

}  // namespace mcusim

#endif  // MCU_SIM_OPTIONS_H
