// Installers of package items: flash partitions, scripts, MCU firmware.
#include "installers.h"

#include <cstdio>
#include <cstring>

#include "mdu_uptarm.h"
#include "qd_log.h"
#include "qd_text.h"
#include "qdboot_config.h"
#include "shell_command.h"

namespace {

// Room for any configured program and partition name (255 characters
// each) around every item path the package library produces (127), so a
// command is refused only for a path no package can name.
constexpr std::size_t kFlashCommandSize = 1024;
// What the flash tools' scripts see as "$0".
constexpr char kShellName[] = "sh";
constexpr int kMcuAddress = 1;
constexpr int kFlashFailed = -1;
constexpr int kNoConfig = -1;

// Set only by InstallConfigScope, for the span of one libqdupk_update.
const QDBOOT_CFG_T* s_pInstallCfg = nullptr;
int s_nTouched = 0;

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

// A flash command as printed (the command line the configured program
// names) and as run: the shell parses only the configured program text
// (which may be shell syntax), and the partition and the item's file reach
// it as "$1" and "$2", whatever characters they hold.
struct FlashCommand {
    char shown[kFlashCommandSize];
    char script[kFlashCommandSize];
    const char* words[4] = {kShellName, nullptr, nullptr, nullptr};
};

bool ComposeErase(FlashCommand* out, const char* program, const char* mtdName) noexcept {
    out->words[1] = mtdName;
    return qd::FormatText(out->shown, sizeof out->shown, "%s %s", program, mtdName) &&
           qd::FormatText(out->script, sizeof out->script, "%s \"$1\"", program);
}

// The copy program's argument order depends on whether it is flashcp.
bool ComposeCopy(FlashCommand* out, const char* program, const char* mtdName,
                 const char* path) noexcept {
    const bool flashcp = std::strstr(program, "flashcp") != nullptr;
    const char* option = flashcp ? "-v" : "-p";
    out->words[1] = flashcp ? path : mtdName;
    out->words[2] = flashcp ? mtdName : path;
    return qd::FormatText(out->shown, sizeof out->shown, "%s %s %s %s", program, option,
                          out->words[1], out->words[2]) &&
           qd::FormatText(out->script, sizeof out->script, "%s %s \"$1\" \"$2\"", program, option);
}

// The file the package library extracted, and where the item wanted it:
// when the two are the same, the file is at its destination and stays.
struct ItemFile {
    int type;
    const char* path;
    const char* dstPath;
};

// A script's exit status is its own business: the package decides what a
// failing step of it means. Its path is "$0", so the shell runs exactly that
// file; a relative one is taken from the working directory, not looked up
// in PATH.
int InstallScript(const ItemFile& item, const QDBOOT_CFG_T& /*cfg*/) noexcept {
    const char* const words[] = {item.path, nullptr};
    static_cast<void>(qd::RunCommand(item.path[0] == '/' ? "\"$0\"" : "./\"$0\"", words));
    return 0;
}

// A failed transfer fails nothing: the MCU's loader stays in charge and
// takes the next attempt. Firmware has no use on the camera's own file
// systems once sent, so a copy the package left at a destination goes too;
// a temporary file is the package library's to remove.
int InstallMcuItem(const ItemFile& item, const QDBOOT_CFG_T& cfg) noexcept {
    static_cast<void>(mdu_updatearm(cfg.szUartArm, static_cast<int>(cfg.emUartBaud), cfg.szMainApp,
                                    kMcuAddress, item.path));
    if (item.dstPath != nullptr && std::strcmp(item.path, item.dstPath) == 0) {
        static_cast<void>(std::remove(item.path));
    }
    return 0;
}

int FlashImage(const ItemFile& item, const QDBOOT_CFG_T& cfg) noexcept {
    return UpdateMtd(item.type, item.path, cfg);
}

// A partition that may have been erased but not written must never be
// acknowledged: the camera would reboot into it.
bool RunFlashCommand(const FlashCommand& command) noexcept {
    const qd::CommandStatus status = qd::RunCommand(command.script, command.words);
    if (status.Succeeded()) {
        return true;
    }
    char how[64];
    qd::DescribeStatus(status, how, sizeof how);
    QD_LOG_ERR("flash command failed, %s: %s\n", how, command.shown);
    return false;
}

// Types not listed need nothing here: the package library has already
// written them to their destination (or removes their temporary file).
struct ItemInstaller {
    int type;
    int (*install)(const ItemFile& item, const QDBOOT_CFG_T& cfg) noexcept;
};
constexpr ItemInstaller kInstallers[] = {
    {QDUPK_ITEM_KERNEL, FlashImage},     {QDUPK_ITEM_ROOTFS, FlashImage},
    {QDUPK_ITEM_UBOOT, FlashImage},      {QDUPK_ITEM_BASH, InstallScript},
    {QDUPK_ITEM_MCUARM, InstallMcuItem},
};

}  // namespace

InstallConfigScope::InstallConfigScope(const QDBOOT_CFG_T& cfg) noexcept
    : previous_(s_pInstallCfg), previousTouched_(s_nTouched) {
    s_pInstallCfg = &cfg;
    s_nTouched = 0;
}

InstallConfigScope::~InstallConfigScope() {
    s_pInstallCfg = previous_;
    s_nTouched = previousTouched_;
}

int InstallConfigScope::PartitionsTouched() noexcept {
    return s_nTouched;
}

int UpdateMtd(int type, const char* path, const QDBOOT_CFG_T& cfg) noexcept {
    const MTDCFG_T& mtd = PartitionFor(cfg, type);
    if (mtd.bValid == 0) {
        return 0;
    }
    if (mtd.bAllMtd == 0 || mtd.szMtdName[0] == '\0') {
        return 0;
    }
    FlashCommand erase;
    FlashCommand copy;
    // A cut command line could flash the wrong thing; run nothing instead,
    // and fail the item: the image was not written.
    if (!ComposeErase(&erase, cfg.szEraseCmd, mtd.szMtdName) ||
        !ComposeCopy(&copy, cfg.szCopyCmd, mtd.szMtdName, path)) {
        QD_LOG_ERR("flash command for %s too long, nothing run\n", mtd.szMtdName);
        return kFlashFailed;
    }
    qd::LogPlain("erase cmd  :%s \n", erase.shown);
    qd::LogPlain("copy  cmd  :%s \n", copy.shown);
    // The copy runs after a failed erase all the same: a copy program that
    // erases as it writes may still leave a whole image.
    ++s_nTouched;
    const bool erased = RunFlashCommand(erase);
    const bool copied = RunFlashCommand(copy);
    return erased && copied ? 0 : kFlashFailed;
}

int qdboot_updatecallback(const char* szFileName, const char* szDstFileName, QDUPK_ITEM_TYPE emType,
                          const char* /*szDevID*/, const char* /*szDesc*/,
                          int /*bRebootFlag*/) noexcept {
    if (s_pInstallCfg == nullptr) {
        QD_LOG_ERR("no settings to install with, item not installed: %s\n", szFileName);
        return kNoConfig;
    }
    const ItemFile item = {emType, szFileName, szDstFileName};
    for (const ItemInstaller& entry : kInstallers) {
        if (entry.type == emType) {
            return entry.install(item, *s_pInstallCfg);
        }
    }
    return 0;
}
