// Loading the configuration: a table of the "system" keys in the order
// they are read, then the three partition sections. The seal section has a
// file of its own (qdboot_config_seal.cpp).
#include "qdboot_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config_findings.h"
#include "etcfile.h"
#include "qd_text.h"

QDBOOT_CFG_T stQdbootCfg;

namespace {

constexpr const char* kSystemSection = "system";

enum class KeyRule { kRequired, kRequiredNonEmpty, kOptional };

struct TextField {
    char* text;
    std::size_t size;
};

// A text key reads at most size - 1 characters, so the field stays
// terminated.
template <auto Member>
TextField FieldOf(QDBOOT_CFG_T& cfg) noexcept {
    return {cfg.*Member, sizeof(cfg.*Member)};
}

struct ConfigKey {
    const char* key;
    KeyRule rule;
    TextField (*text)(QDBOOT_CFG_T&) noexcept;   // text keys
    bool (*store)(QDBOOT_CFG_T&, int) noexcept;  // integer keys; false refuses
    bool (*accept)(const char*) noexcept;        // extra check of a text, or null
    const char* refused;  // what a value that store or accept refuses is told
};

// Only the low 16 bits count. Port 0 would let the kernel pick a port the
// camera then announces as 0, so no upload could ever reach it: refused.
bool StorePort(QDBOOT_CFG_T& cfg, int value) noexcept {
    cfg.nPort = static_cast<std::uint16_t>(value);
    return cfg.nPort != 0;
}

bool StoreBaud(QDBOOT_CFG_T& cfg, int value) noexcept {
    struct BaudMap {
        int bitsPerSecond;
        QD_COMM_BITRATE_TYPE rate;
    };
    // The MCU loader runs at these speeds only.
    constexpr BaudMap kBauds[] = {{115200, QD_COMM_BITRATE_115200},
                                  {9600, QD_COMM_BITRATE_9600},
                                  {4800, QD_COMM_BITRATE_4800}};
    for (const BaudMap& baud : kBauds) {
        if (baud.bitsPerSecond == value) {
            cfg.emUartBaud = baud.rate;
            return true;
        }
    }
    return false;
}

bool StoreBlockSize(QDBOOT_CFG_T& cfg, int value) noexcept {
    cfg.nBlockSize = value;
    return true;
}

bool FitsComposedPaths(const char* tmpDir) noexcept {
    return std::strlen(tmpDir) <= kMaxTmpDirChars;
}

using Cfg = QDBOOT_CFG_T;
constexpr KeyRule kRequired = KeyRule::kRequired;
constexpr KeyRule kNonEmpty = KeyRule::kRequiredNonEmpty;

constexpr ConfigKey kSystemKeys[] = {
    {"port", kRequired, nullptr, StorePort, nullptr, "is not a port number from 1 to 65535"},
    {"devname", kRequired, FieldOf<&Cfg::szDeviceName>, nullptr, nullptr, nullptr},
    {"uart_arm", kRequired, FieldOf<&Cfg::szUartArm>, nullptr, nullptr, nullptr},
    {"uart_baud", kRequired, nullptr, StoreBaud, nullptr, "is none of 115200, 9600, 4800"},
    {"mainApp", kRequired, FieldOf<&Cfg::szMainApp>, nullptr, nullptr, nullptr},
    {"macaddr", KeyRule::kOptional, FieldOf<&Cfg::szMacAddr>, nullptr, nullptr, nullptr},
    {"tmpdir", kNonEmpty, FieldOf<&Cfg::szTmpDir>, nullptr, FitsComposedPaths,
     "is longer than 113 characters"},
    {"flash_eraseall", kNonEmpty, FieldOf<&Cfg::szEraseCmd>, nullptr, nullptr, nullptr},
    {"flashcp", kNonEmpty, FieldOf<&Cfg::szCopyCmd>, nullptr, nullptr, nullptr},
    {"nBlockSize", kRequired, nullptr, StoreBlockSize, nullptr, nullptr},
};
static_assert(kMaxTmpDirChars == 113, "the tmpdir row names the limit");

bool Missing(const ConfigKey& key, ConfigFindings* findings) noexcept {
    if (key.rule == KeyRule::kOptional) {
        return true;
    }
    NoteFinding(findings, kSystemSection, "%s is required", key.key);
    return false;
}

bool Refused(const ConfigKey& key, ConfigFindings* findings) noexcept {
    NoteFinding(findings, kSystemSection, "%s %s", key.key, key.refused);
    return false;
}

bool LoadTextKey(const char* pEtcFile, const ConfigKey& key, QDBOOT_CFG_T& cfg,
                 ConfigFindings* findings) noexcept {
    const TextField field = key.text(cfg);
    const int rc = EtcGetValueFile(pEtcFile, kSystemSection, key.key, field.text,
                                   static_cast<int>(field.size - 1));
    if (rc != 0) {
        return Missing(key, findings);
    }
    if (key.rule == KeyRule::kRequiredNonEmpty && field.text[0] == '\0') {
        NoteFinding(findings, kSystemSection, "%s is empty", key.key);
        return false;
    }
    return key.accept == nullptr || key.accept(field.text) || Refused(key, findings);
}

bool LoadIntKey(const char* pEtcFile, const ConfigKey& key, QDBOOT_CFG_T& cfg,
                ConfigFindings* findings) noexcept {
    int value = 0;
    const int rc = EtcGetIntValueFile(pEtcFile, kSystemSection, key.key, &value);
    if (rc != 0) {
        return Missing(key, findings);
    }
    return key.store(cfg, value) || Refused(key, findings);
}

struct MtdIntKey {
    const char* key;
    std::int32_t MTDCFG_T::*field;
};

constexpr MtdIntKey kMtdIntKeys[] = {
    {"bAllMtd", &MTDCFG_T::bAllMtd}, {"nPos", &MTDCFG_T::nPos}, {"nSize", &MTDCFG_T::nSize}};

struct MtdSection {
    const char* section;
    MTDCFG_T QDBOOT_CFG_T::*record;
};

constexpr MtdSection kMtdSections[] = {{"uboot", &QDBOOT_CFG_T::stUboot},
                                       {"kernel", &QDBOOT_CFG_T::stKernel},
                                       {"rootfs", &QDBOOT_CFG_T::stRootfs}};

}  // namespace

// An unreadable file is one problem, not one per key.
bool ConfigReadable(const char* pEtcFile, ConfigFindings* findings) noexcept {
    std::FILE* file = std::fopen(pEtcFile, "r");
    if (file == nullptr) {
        NoteFinding(findings, nullptr, "cannot be read: %s", std::strerror(errno));
        return false;
    }
    static_cast<void>(std::fclose(file));
    return true;
}

int GetQdBootMtdCfg(const char* pEtcFile, const char* pSection, MTDCFG_T* pMtdCfg) noexcept {
    return GetQdBootMtdCfg(pEtcFile, pSection, pMtdCfg, nullptr);
}

int GetQdBootMtdCfg(const char* pEtcFile, const char* pSection, MTDCFG_T* pMtdCfg,
                    ConfigFindings* findings) noexcept {
    pMtdCfg->bValid = 0;
    const int rc = EtcGetValueFile(pEtcFile, pSection, "szMtdName", pMtdCfg->szMtdName,
                                   static_cast<int>(sizeof pMtdCfg->szMtdName - 1));
    if (rc != 0 || pMtdCfg->szMtdName[0] == '\0') {
        return 0;  // not configured
    }
    int result = 0;
    for (const MtdIntKey& key : kMtdIntKeys) {
        if (EtcGetIntValueFile(pEtcFile, pSection, key.key, &(pMtdCfg->*key.field)) != 0) {
            NoteFinding(findings, pSection, "%s is required when szMtdName is set", key.key);
            result = -1;
        }
    }
    pMtdCfg->bValid = result == 0 ? 1 : 0;
    return result;
}

int LoadQdbootConfig(const char* pEtcFile, QDBOOT_CFG_T* pCfg) noexcept {
    return LoadQdbootConfig(pEtcFile, pCfg, nullptr);
}

// Every key is looked at, so that each problem is told; the first one
// already refuses the whole file.
int LoadQdbootConfig(const char* pEtcFile, QDBOOT_CFG_T* pCfg, ConfigFindings* findings) noexcept {
    std::memset(pCfg, 0, sizeof *pCfg);
    if (!ConfigReadable(pEtcFile, findings)) {
        return -1;
    }
    bool ok = true;
    for (const ConfigKey& key : kSystemKeys) {
        const bool read = key.text != nullptr ? LoadTextKey(pEtcFile, key, *pCfg, findings)
                                              : LoadIntKey(pEtcFile, key, *pCfg, findings);
        ok = read && ok;
    }
    for (const MtdSection& mtd : kMtdSections) {
        ok = GetQdBootMtdCfg(pEtcFile, mtd.section, &(pCfg->*mtd.record), findings) == 0 && ok;
    }
    return ok ? 0 : -1;
}
