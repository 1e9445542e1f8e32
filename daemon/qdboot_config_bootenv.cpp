// [bootenv] and the second slots, read with the INI library's lookups; the
// section is walked once so that a key nobody reads is a problem, not a
// silently ignored setting.
#include <cstdlib>
#include <cstring>

#include "etc_lines.h"
#include "etcfile.h"
#include "qd_text.h"
#include "qdboot_config_bootenv.h"

namespace {

constexpr const char* kSection = "bootenv";
constexpr const char* kDefaultCmdline = "/proc/cmdline";
constexpr const char* kSlotBKey = "szMtdNameB";
constexpr long kMaxHealthTimeoutS = 86400;
constexpr const char* kKeys[] = {"config", "health", "health_timeout", "allow_uboot", "cmdline"};

// The settings being loaded, and who is told each problem.
struct BootLoad {
    BootenvConfig& boot;
    ConfigFindings* findings;
};

// The log names the first problem (fixing it shows the next); the
// findings get every one.
void NoteProblem(BootLoad& load, const char* section, const char* text) noexcept {
    if (load.boot.szProblem[0] == '\0') {
        static_cast<void>(qd::CopyText(load.boot.szProblem, text));  // a cut text still names it
    }
    NoteFinding(load.findings, section, "%s", text);
}

bool KnownKey(const char* key) noexcept {
    for (const char* known : kKeys) {
        if (std::strcmp(key, known) == 0) {
            return true;
        }
    }
    return false;
}

struct SectionWalk {
    BootLoad* load;
    bool inSection;
};

bool VisitLine(void* context, const etcfile::EtcLine& line) noexcept {
    SectionWalk& walk = *static_cast<SectionWalk*>(context);
    if (line.kind == etcfile::EtcLineKind::kSection) {
        walk.inSection = std::strcmp(line.name, kSection) == 0;
        walk.load->boot.bPresent = walk.load->boot.bPresent || walk.inSection;
    } else if (walk.inSection && !KnownKey(line.name)) {
        char text[kBootenvProblemSize];
        static_cast<void>(
            qd::FormatText(text, sizeof text, "unknown key \"%.40s\" in [bootenv]", line.name));
        NoteProblem(*walk.load, kSection, text);
    }
    return true;
}

// A value is read one character past its room, so a longer one is a
// problem and never a cut path. False when the key is missing.
bool ReadText(const char* pEtcFile, const char* section, const char* key, char* out,
              BootLoad& load) noexcept {
    char text[kBootenvPathSize + 1];
    if (EtcGetValueFile(pEtcFile, section, key, text, static_cast<int>(sizeof text - 1)) != 0) {
        return false;
    }
    if (!qd::CopyText(out, kBootenvPathSize, text)) {
        out[0] = '\0';
        char problem[kBootenvProblemSize];
        static_cast<void>(qd::FormatText(problem, sizeof problem,
                                         "%s is longer than %zu characters", key,
                                         kBootenvPathSize - 1));
        NoteProblem(load, section, problem);
    }
    return true;
}

// A whole decimal number in [low, high], or -1.
long ReadNumber(const char* pEtcFile, const char* key, long low, long high) noexcept {
    char text[24];
    if (EtcGetValueFile(pEtcFile, kSection, key, text, static_cast<int>(sizeof text - 1)) != 0) {
        return -2;  // missing
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return text[0] != '\0' && *end == '\0' && value >= low && value <= high ? value : -1;
}

void ReadNumbers(const char* pEtcFile, BootLoad& load) noexcept {
    BootenvConfig& boot = load.boot;
    const long timeout = ReadNumber(pEtcFile, "health_timeout", 1, kMaxHealthTimeoutS);
    if (timeout == -1) {
        NoteProblem(load, kSection,
                    "health_timeout in [bootenv] is not a number of seconds from 1 to 86400");
    }
    boot.nHealthTimeoutS = timeout > 0 ? static_cast<int>(timeout) : kDefaultHealthTimeoutS;
    const long allow = ReadNumber(pEtcFile, "allow_uboot", 0, 1);
    if (allow == -1) {
        NoteProblem(load, kSection, "allow_uboot in [bootenv] is neither 0 nor 1");
    }
    boot.bAllowUboot = allow == 1;
}

void ReadSection(const char* pEtcFile, BootLoad& load) noexcept {
    BootenvConfig& boot = load.boot;
    if (!ReadText(pEtcFile, kSection, "config", boot.szConfig, load) || boot.szConfig[0] == '\0') {
        NoteProblem(load, kSection, "[bootenv] has no config (the environment's fw_env.config)");
    }
    if (!ReadText(pEtcFile, kSection, "cmdline", boot.szCmdline, load) ||
        boot.szCmdline[0] == '\0') {
        static_cast<void>(qd::CopyText(boot.szCmdline, kDefaultCmdline));
    }
    static_cast<void>(ReadText(pEtcFile, kSection, "health", boot.szHealth, load));
    ReadNumbers(pEtcFile, load);
}

bool SlotAUsable(const MTDCFG_T& mtd) noexcept {
    return mtd.bValid != 0 && mtd.bAllMtd != 0 && mtd.szMtdName[0] != '\0';
}

}  // namespace

void LoadBootenvConfig(const char* pEtcFile, BootenvConfig* pBoot) noexcept {
    LoadBootenvConfig(pEtcFile, pBoot, nullptr);
}

void LoadBootenvConfig(const char* pEtcFile, BootenvConfig* pBoot,
                       ConfigFindings* findings) noexcept {
    std::memset(pBoot, 0, sizeof *pBoot);
    pBoot->nHealthTimeoutS = kDefaultHealthTimeoutS;
    BootLoad load{*pBoot, findings};
    SectionWalk walk = {&load, false};
    if (etcfile::etc_ForEachLine(pEtcFile, VisitLine, &walk) != 0) {
        NoteProblem(load, nullptr, "the configuration file cannot be read to its end");
    }
    static_cast<void>(ReadText(pEtcFile, "kernel", kSlotBKey, pBoot->szKernelB, load));
    static_cast<void>(ReadText(pEtcFile, "rootfs", kSlotBKey, pBoot->szRootfsB, load));
    if (pBoot->bPresent) {
        ReadSection(pEtcFile, load);
    }
}

bool BootenvHasSlots(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept {
    return SlotAUsable(cfg.stKernel) && SlotAUsable(cfg.stRootfs) && boot.szKernelB[0] != '\0' &&
           boot.szRootfsB[0] != '\0';
}

SlotLayout LayoutOf(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept {
    if (BootenvHasSlots(boot, cfg)) {
        return SlotLayout::kTwoSlots;
    }
    const bool noSlotB = boot.szKernelB[0] == '\0' && boot.szRootfsB[0] == '\0';
    return noSlotB ? SlotLayout::kOneSlot : SlotLayout::kMixed;
}

QDBOOT_CFG_T ConfigForSlot(const QDBOOT_CFG_T& cfg, const BootenvConfig& boot, char slot) noexcept {
    QDBOOT_CFG_T slotCfg = cfg;
    if (slot == 'b') {
        // Both fit: they were read into buffers of the same size.
        static_cast<void>(qd::CopyText(slotCfg.stKernel.szMtdName, boot.szKernelB));
        static_cast<void>(qd::CopyText(slotCfg.stRootfs.szMtdName, boot.szRootfsB));
    }
    return slotCfg;
}
