// The boot journal's settings: section "bootenv", and the second slot's
// device of [kernel] and [rootfs]. Kept out of QDBOOT_CFG_T and MTDCFG_T,
// whose layouts C code relies on; start-up loads them beside the seal
// settings and hands them to the service loop.
#ifndef QDBOOT_CONFIG_BOOTENV_H
#define QDBOOT_CONFIG_BOOTENV_H

#include <cstddef>

#include "qdboot_config.h"

constexpr std::size_t kBootenvPathSize = 256;
constexpr std::size_t kBootenvProblemSize = 160;
constexpr int kDefaultHealthTimeoutS = 120;

struct BootenvConfig {
    bool bPresent;                     // the file has a [bootenv] section
    char szConfig[kBootenvPathSize];   // the environment's fw_env.config
    char szCmdline[kBootenvPathSize];  // where the running slot is read
    char szHealth[kBootenvPathSize];   // shell command; empty: none
    int nHealthTimeoutS;
    bool bAllowUboot;
    char szKernelB[kBootenvPathSize];  // [kernel] szMtdNameB; empty: none
    char szRootfsB[kBootenvPathSize];  // [rootfs] szMtdNameB; empty: none
    // Non-empty: what is wrong with [bootenv]. Packages with flash images
    // are then refused with this text; the daemon still serves.
    char szProblem[kBootenvProblemSize];
    // Started with --recovery: this is the recovery system, which takes
    // uploads but never proves a boot. Set from the command line, never
    // from the file.
    bool bRecovery;
};

// Clears *pBoot and reads [bootenv] ("config", required in the section;
// "cmdline", default /proc/cmdline; "health"; "health_timeout", seconds,
// default 120; "allow_uboot", 0 or 1) and "szMtdNameB" of [kernel] and
// [rootfs]. Never fails: a missing config, an unknown key, a value out of
// range or a path too long is recorded in szProblem (the first one) and
// handed to `findings` (may be null; every one). Prints nothing.
void LoadBootenvConfig(const char* pEtcFile, BootenvConfig* pBoot) noexcept;
void LoadBootenvConfig(const char* pEtcFile, BootenvConfig* pBoot,
                       ConfigFindings* findings) noexcept;

// Whether both slots of the kernel and the root file system are
// configured: slot a (szMtdName, rewritten whole) and slot b (szMtdNameB).
bool BootenvHasSlots(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept;

// How the kernel and root file system are laid out on flash.
enum class SlotLayout : unsigned char {
    kTwoSlots,  // szMtdNameB in both, slot a rewritten whole: A/B
    kOneSlot,   // szMtdNameB in neither: one copy plus a recovery system
    kMixed,     // anything else: no safe way to write them
};
SlotLayout LayoutOf(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg) noexcept;

// `cfg` with the kernel and root file system devices of `slot` ('a' or
// 'b'): what the installers write when slot b is the target.
QDBOOT_CFG_T ConfigForSlot(const QDBOOT_CFG_T& cfg, const BootenvConfig& boot, char slot) noexcept;

#endif  // QDBOOT_CONFIG_BOOTENV_H
