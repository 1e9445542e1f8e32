// Installers of package items: flash partitions, scripts, MCU firmware.
#include "installers.h"

#include <cstdio>
#include <cstring>

#include "mdu_uptarm.h"
#include "qd_log.h"
#include "qd_shell.h"
#include "qd_text.h"
#include "qdboot_config.h"
#include "shell_quote.h"

namespace {

// Room for any configured program and partition name (255 characters
// each) around every item path the package library produces (127), so a
// command is refused only for a path no package can name.
constexpr std::size_t kFlashCommandSize = 1024;
// A script path of 127 characters, each possibly a quote taking four.
constexpr std::size_t kScriptCommandSize = 1024;
constexpr int kMcuAddress = 1;

const MTDCFG_T& PartitionFor(int type) noexcept {
    switch (type) {
        case QDUPK_ITEM_ROOTFS:
            return stQdbootCfg.stRootfs;
        case QDUPK_ITEM_UBOOT:
            return stQdbootCfg.stUboot;
        default:
            return stQdbootCfg.stKernel;
    }
}

// The copy program's argument order depends on whether it is flashcp.
bool FormatCopyCommand(char* out, std::size_t size, const char* mtdName,
                       const char* path) noexcept {
    const char* program = stQdbootCfg.szCopyCmd;
    if (std::strstr(program, "flashcp") != nullptr) {
        return qd::FormatText(out, size, "%s -v %s %s", program, path, mtdName);
    }
    return qd::FormatText(out, size, "%s -p %s %s", program, mtdName, path);
}

void RemoveItemFile(const char* path) noexcept {
    static_cast<void>(std::remove(path));
}

void InstallScript(int /*type*/, const char* path) noexcept {
    char command[kScriptCommandSize];
    if (!QuoteCommandPath(path, command, sizeof command)) {
        QD_LOG_ERR("script path too long, not run: %s\n", path);
        return;
    }
    static_cast<void>(qd::RunCommand(command));
}

void InstallMcuItem(int /*type*/, const char* path) noexcept {
    static_cast<void>(mdu_updatearm(stQdbootCfg.szUartArm, static_cast<int>(stQdbootCfg.emUartBaud),
                                    stQdbootCfg.szMainApp, kMcuAddress, path));
    RemoveItemFile(path);
}

void InstallFlashImage(int type, const char* path) noexcept {
    static_cast<void>(UpdateMtd(type, path));
}

// Types not listed need nothing here: the package library has already
// written them to their destination (or removes their temporary file).
struct ItemInstaller {
    int type;
    void (*install)(int type, const char* path) noexcept;
};
constexpr ItemInstaller kInstallers[] = {
    {QDUPK_ITEM_KERNEL, InstallFlashImage}, {QDUPK_ITEM_ROOTFS, InstallFlashImage},
    {QDUPK_ITEM_UBOOT, InstallFlashImage},  {QDUPK_ITEM_BASH, InstallScript},
    {QDUPK_ITEM_MCUARM, InstallMcuItem},
};

}  // namespace

int UpdateMtd(int type, const char* path) noexcept {
    const MTDCFG_T& mtd = PartitionFor(type);
    if (mtd.bValid == 0) {
        return 0;
    }
    if (mtd.bAllMtd == 0 || mtd.szMtdName[0] == '\0') {
        RemoveItemFile(path);
        return 0;
    }
    char eraseCmd[kFlashCommandSize];
    char copyCmd[kFlashCommandSize];
    // A cut command line could flash the wrong thing; run nothing instead.
    if (!qd::FormatText(eraseCmd, sizeof eraseCmd, "%s %s", stQdbootCfg.szEraseCmd,
                        mtd.szMtdName) ||
        !FormatCopyCommand(copyCmd, sizeof copyCmd, mtd.szMtdName, path)) {
        QD_LOG_ERR("flash command for %s too long, nothing run\n", mtd.szMtdName);
        RemoveItemFile(path);
        return 0;
    }
    qd::LogPlain("erase cmd  :%s \n", eraseCmd);
    qd::LogPlain("copy  cmd  :%s \n", copyCmd);
    static_cast<void>(qd::RunCommand(eraseCmd));
    static_cast<void>(qd::RunCommand(copyCmd));
    RemoveItemFile(path);
    return 0;
}

int qdboot_updatecallback(const char* szFileName, const char* /*szDstFileName*/,
                          QDUPK_ITEM_TYPE emType, const char* /*szDevID*/, const char* /*szDesc*/,
                          int /*bRebootFlag*/) noexcept {
    for (const ItemInstaller& entry : kInstallers) {
        if (entry.type == emType) {
            entry.install(emType, szFileName);
            break;
        }
    }
    return 0;
}
