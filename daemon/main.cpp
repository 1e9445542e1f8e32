// qdboot [--recovery] [config-path]: the camera's firmware-upgrade daemon.
// qdboot --check [config-path]: what is wrong with a configuration.
#include <cstdio>
#include <cstring>

#include "camera_status.h"
#include "config_check.h"
#include "monotonic.h"
#include "qd_log.h"
#include "qd_version.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "qdboot_config_status.h"
#include "service_loop.h"
#include "startup.h"
#include "stop_signals.h"

namespace {

const char kUsage[] =
    "usage: qdboot [--recovery] [CONFIG]\n"
    "       qdboot --check [CONFIG]\n"
    "Firmware-upgrade daemon: reads CONFIG (default ./qdboot.cfg) once, then\n"
    "serves searches and uploads until SIGTERM or SIGINT.\n"
    "  --recovery  run as the recovery system: take uploads, never prove a boot\n"
    "  --check     print every problem of CONFIG (\"SECTION: message\") and exit\n"
    "              1, or 0 when there is none; touches no network\n"
    "  --help      show this help and exit\n"
    "  --version   print the version and exit\n"
    "Exit status: 0 stopped by a signal, 1 the upload port cannot be opened,\n"
    "255 configuration refused (printing nothing: see --check).\n";

// An informational option (or --check) answers and ends the program with
// `*status`; anything else is
// the configuration path, even a name that looks like an option: refusing
// it would leave a camera whose start script names such a file without its
// upgrade daemon.
bool AnswerInformationalOption(int argc, char* argv[], int* status) {
    *status = 0;
    if (argc < 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--check") == 0) {
        const char* path = argc > 2 ? argv[2] : ParseStartOptions(1, argv).configPath;
        *status = CheckConfiguration(path, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        static_cast<void>(std::printf("qdboot %s\n", QD_VERSION));
        return true;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        static_cast<void>(std::fputs(kUsage, stdout));
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    int status = 0;
    if (AnswerInformationalOption(argc, argv, &status)) {
        return status;
    }
    EnsureStandardDescriptors();
    // Output is the daemon's only log: every line goes out at once, except
    // the verification pass's per-chunk traces, which are written in blocks
    // (qd_log.h). Returning from main flushes what is left.
    qd::GatherTraceLines();
    InstallSignalHandling();

    // A refused configuration ends the daemon silently, before any socket
    // exists and before the MAC address is touched. The seal settings never
    // do: a camera may get this daemon, or a new configuration, while they
    // hold a slip, and must still be reachable to have it fixed.
    const StartOptions options = ParseStartOptions(argc, argv);
    const char* configPath = options.configPath;
    if (LoadQdbootConfig(configPath, &stQdbootCfg) != 0) {
        return -1;
    }
    SealConfig sealCfg{};
    LoadSealConfig(configPath, &sealCfg);
    BootenvConfig bootCfg{};
    LoadBootenvConfig(configPath, &bootCfg);
    bootCfg.bRecovery = options.recovery;
    StatusConfig statusCfg{};
    LoadStatusConfig(configPath, &statusCfg);
    CameraStatus camera = StartCameraStatus(QD_VERSION, stQdbootCfg, statusCfg, MonotonicMs());
    if (!WaitForEthAddress()) {
        return 0;  // stopped before there was anything to serve
    }
    ApplyMacAddress(stQdbootCfg.szMacAddr);
    ReportStatusProblem(statusCfg);
    PrintStartupLine(sealCfg, bootCfg, stQdbootCfg.nPort);
    return RunServiceLoop(stQdbootCfg, sealCfg, bootCfg, &camera);
}
