// The steps of start-up between loading the configuration and serving.
#ifndef STARTUP_H
#define STARTUP_H

// The configuration file: the first argument when there is one (others are
// ignored), otherwise "./qdboot.cfg".
const char* QdbootConfigPath(int argc, char* argv[]) noexcept;

// Asks for eth0's address every 2 seconds until it has one; no limit and no
// output. Nothing can be announced or served before that.
void WaitForEthAddress() noexcept;

// Runs "ifconfig eth0 hw ether <szMacAddr>" when szMacAddr is not empty;
// its exit status is not examined.
void ApplyMacAddress(const char* szMacAddr) noexcept;

#endif  // STARTUP_H
