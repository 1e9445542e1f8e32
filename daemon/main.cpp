// qdboot [config-path]: the camera's firmware-upgrade daemon.
#include "qd_log.h"
#include "qdboot_config.h"
#include "service_loop.h"
#include "startup.h"
#include "stop_signals.h"

int main(int argc, char* argv[]) {
    EnsureStandardDescriptors();
    // Output is the daemon's only log: every line goes out at once, except
    // the verification pass's per-chunk traces, which are written in blocks
    // (qd_log.h). Returning from main flushes what is left.
    qd::GatherTraceLines();
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
