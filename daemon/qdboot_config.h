// The daemon's settings: one record, filled once at start-up from the
// configuration file and only read afterwards.
#ifndef QDBOOT_CONFIG_H
#define QDBOOT_CONFIG_H

#include <cstddef>
#include <cstdint>

#include "QDComm.h"
#include "config_findings.h"
#include "libqdupdate.h"

// One flash partition.
struct MTDCFG_T {
    std::int32_t bValid;   // 1: configured and every key read
    char szMtdName[256];   // device name handed to the flash tools
    std::int32_t bAllMtd;  // non-zero: an image for it rewrites it whole
    std::int32_t nPos;
    std::int32_t nSize;
};

struct QDBOOT_CFG_T {
    std::uint16_t nPort;
    char szTmpDir[256];
    char szMacAddr[32];  // empty: the MAC address is left alone
    char szEraseCmd[256];
    char szCopyCmd[256];
    std::int32_t nBlockSize;
    char szIpAddr[32];  // eth0's address, "0.0.0.0" while it has none
    char szDeviceName[64];
    char szUartArm[16];
    char szMainApp[48];
    QD_COMM_BITRATE_TYPE emUartBaud;
    MTDCFG_T stUboot;
    MTDCFG_T stKernel;
    MTDCFG_T stRootfs;
};

static_assert(sizeof(QD_COMM_BITRATE_TYPE) == 4, "the baud field is 32 bits");
static_assert(sizeof(MTDCFG_T) == 272 && offsetof(MTDCFG_T, nSize) == 268, "MTDCFG_T layout");
static_assert(
    offsetof(QDBOOT_CFG_T, szTmpDir) == 2 && offsetof(QDBOOT_CFG_T, szMacAddr) == 258 &&
        offsetof(QDBOOT_CFG_T, szEraseCmd) == 290 && offsetof(QDBOOT_CFG_T, szCopyCmd) == 546 &&
        offsetof(QDBOOT_CFG_T, nBlockSize) == 804 && offsetof(QDBOOT_CFG_T, szIpAddr) == 808 &&
        offsetof(QDBOOT_CFG_T, szDeviceName) == 840 && offsetof(QDBOOT_CFG_T, szUartArm) == 904 &&
        offsetof(QDBOOT_CFG_T, szMainApp) == 920 && offsetof(QDBOOT_CFG_T, emUartBaud) == 968 &&
        offsetof(QDBOOT_CFG_T, stUboot) == 972 && offsetof(QDBOOT_CFG_T, stKernel) == 1244 &&
        offsetof(QDBOOT_CFG_T, stRootfs) == 1516 && sizeof(QDBOOT_CFG_T) == 1788,
    "QDBOOT_CFG_T layout");

// The received package is "<tmpdir>/qboot.upg" in a 256-byte buffer, and the
// package library names its item files "<tmpdir>/updatetmp.bin" (or ".sh")
// in 128-byte buffers: 113 + 14 characters and the terminator fill those
// exactly. A longer directory would have its paths cut, so it is refused.
constexpr std::size_t kMaxTmpDirChars = 113;

// The process's record, kept under this name and layout for C code that
// expects it. Start-up fills it (the address text through GetEthIPAddr) and
// hands it to the service loop; everything past that takes the settings it
// is given instead of reading this.
extern QDBOOT_CFG_T stQdbootCfg;

// Whether pEtcFile can be opened for reading; when not, the reason is
// handed to `findings` (may be null) as a problem of the whole file.
bool ConfigReadable(const char* pEtcFile, ConfigFindings* findings) noexcept;

// Clears *pCfg and reads every setting from pEtcFile. 0, or -1 when a
// setting is missing or invalid or the file cannot be read; every setting
// is still looked at, and each problem is handed to `findings` (may be
// null) with its section and key. Prints nothing.
int LoadQdbootConfig(const char* pEtcFile, QDBOOT_CFG_T* pCfg) noexcept;
int LoadQdbootConfig(const char* pEtcFile, QDBOOT_CFG_T* pCfg, ConfigFindings* findings) noexcept;

// Package seal settings, section "seal". Kept out of QDBOOT_CFG_T, whose
// layout C code relies on; start-up loads them beside it and hands both to
// the service loop.
constexpr int kMaxSealKeys = 2;  // two slots, so keys can be rotated
// The counter file is replaced through "<path>.tmp": the path leaves room
// for that suffix in a 256-byte buffer.
constexpr std::size_t kMaxCounterPathChars = 250;
constexpr std::size_t kSealSlipSize = 160;

// What one key slot ("key1", "key2") holds. A slot whose line is there but
// holds no usable key takes no package; it never counts as empty, so a
// placeholder or a typing error never turns signing off.
enum class SealKeySlot : std::int32_t {
    kEmpty,      // no line, or an empty value: no key in this slot
    kUsable,     // a key that can verify seals
    kMalformed,  // not 64 hex digits
    kWeak,       // small-order or non-canonical (libqdupk_checkkey)
};

struct SealConfig {
    SealKeySlot emSlots[kMaxSealKeys];
    unsigned char byKeys[kMaxSealKeys * QDUPK_KEY_SIZE];      // of kUsable and kWeak slots
    unsigned char byKeyIds[kMaxSealKeys * QDUPK_KEYID_SIZE];  // of kUsable and kWeak slots
    char szCounterFile[kMaxCounterPathChars + 1];             // empty: no rollback check
    // A configuration slip: a file meant to configure seals that would
    // otherwise be read as configuring less. Non-empty: every upload is
    // refused with this text until the file is fixed. nSlips counts every
    // slip found; the text names the first.
    char szSlip[kSealSlipSize];
    int nSlips;
};

// "key1" or "key2".
const char* SealKeyName(int slot) noexcept;

// Whether packages must be signed: some slot is not empty.
bool SealKeysConfigured(const SealConfig& seal) noexcept;
// Whether some slot holds a key that can verify seals.
bool SealHasUsableKey(const SealConfig& seal) noexcept;

// Clears *pSeal and reads the "seal" section: "key1" and "key2" (64 hex
// digits each; either may be missing or empty), "counter_file" (a path;
// missing or empty: none). Never fails: what is wrong is recorded instead,
// so that the daemon still starts and answers searches. A slot that is
// present but unusable is marked so (see SealKeySlot). Slips: an unknown
// key in [seal]; "key1", "key2" or "counter_file" (in any spelling that
// reduces to one of them) in another section or above the first; a
// section whose name reduces to "seal" but is not exactly "seal"; [seal]
// or one of its keys given twice (only the first is read); key lines in
// [seal] that are all empty; "counter_file" without a usable key (anyone
// could seal any counter) or longer than kMaxCounterPathChars; a file that
// cannot be read to its end. Every slip and every unusable slot is handed
// to `findings` (may be null). Prints nothing.
void LoadSealConfig(const char* pEtcFile, SealConfig* pSeal) noexcept;
void LoadSealConfig(const char* pEtcFile, SealConfig* pSeal, ConfigFindings* findings) noexcept;

// Reads one partition section. 0 when read completely or not configured
// (no or an empty "szMtdName"); -1 when a named partition lacks one of
// "bAllMtd", "nPos", "nSize" (each one missing is handed to `findings`).
int GetQdBootMtdCfg(const char* pEtcFile, const char* pSection, MTDCFG_T* pMtdCfg) noexcept;
int GetQdBootMtdCfg(const char* pEtcFile, const char* pSection, MTDCFG_T* pMtdCfg,
                    ConfigFindings* findings) noexcept;

#endif  // QDBOOT_CONFIG_H
