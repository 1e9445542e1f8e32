// The steps of start-up between loading the configuration and serving.
#ifndef STARTUP_H
#define STARTUP_H

#include <cstdint>

#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed (a
// daemon started with them closed), so that no socket, package file or
// serial line is ever handed one of them: the serial library refuses 0, and
// output meant for the log must not land in a package file.
void EnsureStandardDescriptors() noexcept;

// The configuration file of ParseStartOptions below.
const char* QdbootConfigPath(int argc, char* argv[]) noexcept;

// The command line: "--recovery" anywhere starts the recovery system; the
// first other argument is the configuration file (others are ignored),
// otherwise "./qdboot.cfg".
struct StartOptions {
    const char* configPath;
    bool recovery;
};
StartOptions ParseStartOptions(int argc, char* argv[]) noexcept;

// The error lines of the seal settings' problems, then the start-up line:
// what uploads must be (signed, by which key ids; the stored counter), so
// that a camera's log shows how it is protected from its first lines, then
// the boot journal and the upload port. Printed once the camera has its
// address and is about to serve: the wait for it prints nothing. With
// [bootenv], a problem in it is an error line, and the start-up line names
// the environment, the running slot and the journal's state; without, that
// there is no journal. The recovery system says so first
// ("qdboot starting in recovery: ...").
void PrintStartupLine(const SealConfig& seal, const BootenvConfig& boot,
                      std::uint16_t port) noexcept;

// Asks for eth0's address every 2 seconds until it has one; no limit and no
// output. Nothing can be announced or served before that. False when a stop
// signal ended the wait instead.
bool WaitForEthAddress() noexcept;

// Runs "ifconfig eth0 hw ether <szMacAddr>" when szMacAddr is not empty;
// its exit status is not examined.
void ApplyMacAddress(const char* szMacAddr) noexcept;

#endif  // STARTUP_H
