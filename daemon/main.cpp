// qdboot [config-path]: the camera's firmware-upgrade daemon.
#include <cstdio>

#include "qdboot_config.h"
#include "service_loop.h"
#include "startup.h"
#include "stop_signals.h"

int main(int argc, char* argv[]) {
    EnsureStandardDescriptors();
    // Output is the daemon's only log; keep whole lines in order with the
    // output of the commands it runs, also when stdout is a file or a pipe.
    static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, 0));
    InstallSignalHandling();

    // A refused configuration ends the daemon silently, before any socket
    // exists and before the MAC address is touched.
    const char* configPath = QdbootConfigPath(argc, argv);
    SealConfig sealCfg{};
    if (LoadQdbootConfig(configPath, &stQdbootCfg) != 0 ||
        LoadSealConfig(configPath, &sealCfg) != 0) {
        return -1;
    }
    if (!WaitForEthAddress()) {
        return 0;  // stopped before there was anything to serve
    }
    ApplyMacAddress(stQdbootCfg.szMacAddr);
    return RunServiceLoop(stQdbootCfg, sealCfg);
}
