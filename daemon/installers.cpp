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
constexpr int kFlashFailed = -1;
constexpr int kNoConfig = -1;

// Set only by InstallConfigScope, for the span of one libqdupk_update.
const QDBOOT_CFG_T* s_pInstallCfg = nullptr;

const MTDCFG_T& PartitionFor(const QDBOOT_CFG_T& cfg, int type) noexcept {
    switch (type) {
        case QDUPK_ITEM_ROOTFS:
            return cfg.stRootfs;
        case QDUPK_ITEM_UBOOT:
            return cfg.stUboot;
        default:
            return cfg.stKernel;
    }
}

// The copy program's argument order depends on whether it is flashcp.
bool FormatCopyCommand(char* out, std::size_t size, const char* program, const char* mtdName,
                       const char* path) noexcept {
    if (std::strstr(program, "flashcp") != nullptr) {
        return qd::FormatText(out, size, "%s -v %s %s", program, path, mtdName);
    }
    return qd::FormatText(out, size, "%s -p %s %s", program, mtdName, path);
}

void RemoveItemFile(const char* path) noexcept {
    static_cast<void>(std::remove(path));
}

// A script's exit status is its own business: the package decides what a
// failing step of it means.
int InstallScript(int /*type*/, const char* path, const QDBOOT_CFG_T& /*cfg*/) noexcept {
    char command[kScriptCommandSize];
    if (!QuoteCommandPath(path, command, sizeof command)) {
        QD_LOG_ERR("script path too long, not run: %s\n", path);
        return 0;
    }
    static_cast<void>(qd::RunCommand(command));
    return 0;
}

// A failed transfer fails nothing: the MCU's loader stays in charge and
// takes the next attempt.
int InstallMcuItem(int /*type*/, const char* path, const QDBOOT_CFG_T& cfg) noexcept {
    static_cast<void>(mdu_updatearm(cfg.szUartArm, static_cast<int>(cfg.emUartBaud), cfg.szMainApp,
                                    kMcuAddress, path));
    RemoveItemFile(path);
    return 0;
}

// A partition that may have been erased but not written must never be
// acknowledged: the camera would reboot into it.
bool RunFlashCommand(const char* command) noexcept {
    const qd::CommandStatus status = qd::RunCommand(command);
    if (status.Succeeded()) {
        return true;
    }
    char how[64];
    qd::DescribeStatus(status, how, sizeof how);
    QD_LOG_ERR("flash command failed, %s: %s\n", how, command);
    return false;
}

// Types not listed need nothing here: the package library has already
// written them to their destination (or removes their temporary file).
struct ItemInstaller {
    int type;
    int (*install)(int type, const char* path, const QDBOOT_CFG_T& cfg) noexcept;
};
constexpr ItemInstaller kInstallers[] = {
    {QDUPK_ITEM_KERNEL, UpdateMtd},      {QDUPK_ITEM_ROOTFS, UpdateMtd},
    {QDUPK_ITEM_UBOOT, UpdateMtd},       {QDUPK_ITEM_BASH, InstallScript},
    {QDUPK_ITEM_MCUARM, InstallMcuItem},
};

}  // namespace

InstallConfigScope::InstallConfigScope(const QDBOOT_CFG_T& cfg) noexcept
    : previous_(s_pInstallCfg) {
    s_pInstallCfg = &cfg;
}

InstallConfigScope::~InstallConfigScope() {
    s_pInstallCfg = previous_;
}

int UpdateMtd(int type, const char* path, const QDBOOT_CFG_T& cfg) noexcept {
    const MTDCFG_T& mtd = PartitionFor(cfg, type);
    if (mtd.bValid == 0) {
        return 0;
    }
    if (mtd.bAllMtd == 0 || mtd.szMtdName[0] == '\0') {
        RemoveItemFile(path);
        return 0;
    }
    char eraseCmd[kFlashCommandSize];
    char copyCmd[kFlashCommandSize];
    // A cut command line could flash the wrong thing; run nothing instead,
    // and fail the item: the image was not written.
    if (!qd::FormatText(eraseCmd, sizeof eraseCmd, "%s %s", cfg.szEraseCmd, mtd.szMtdName) ||
        !FormatCopyCommand(copyCmd, sizeof copyCmd, cfg.szCopyCmd, mtd.szMtdName, path)) {
        QD_LOG_ERR("flash command for %s too long, nothing run\n", mtd.szMtdName);
        RemoveItemFile(path);
        return kFlashFailed;
    }
    qd::LogPlain("erase cmd  :%s \n", eraseCmd);
    qd::LogPlain("copy  cmd  :%s \n", copyCmd);
    // The copy runs after a failed erase all the same: a copy program that
    // erases as it writes may still leave a whole image.
    const bool erased = RunFlashCommand(eraseCmd);
    const bool copied = RunFlashCommand(copyCmd);
    RemoveItemFile(path);
    return erased && copied ? 0 : kFlashFailed;
}

int qdboot_updatecallback(const char* szFileName, const char* /*szDstFileName*/,
                          QDUPK_ITEM_TYPE emType, const char* /*szDevID*/, const char* /*szDesc*/,
                          int /*bRebootFlag*/) noexcept {
    if (s_pInstallCfg == nullptr) {
        QD_LOG_ERR("no settings to install with, item not installed: %s\n", szFileName);
        return kNoConfig;
    }
    for (const ItemInstaller& entry : kInstallers) {
        if (entry.type == emType) {
            return entry.install(emType, szFileName, *s_pInstallCfg);
        }
    }
    return 0;
}
