// Loading the configuration: a table of the "system" keys in the order
// they are read, then the three partition sections. The seal section has a
// file of its own (qdboot_config_seal.cpp).
#include "qdboot_config.h"

#include <cstring>

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
    {"port", kRequired, nullptr, StorePort, nullptr},
    {"devname", kRequired, FieldOf<&Cfg::szDeviceName>, nullptr, nullptr},
    {"uart_arm", kRequired, FieldOf<&Cfg::szUartArm>, nullptr, nullptr},
    {"uart_baud", kRequired, nullptr, StoreBaud, nullptr},
    {"mainApp", kRequired, FieldOf<&Cfg::szMainApp>, nullptr, nullptr},
    {"macaddr", KeyRule::kOptional, FieldOf<&Cfg::szMacAddr>, nullptr, nullptr},
    {"tmpdir", kNonEmpty, FieldOf<&Cfg::szTmpDir>, nullptr, FitsComposedPaths},
    {"flash_eraseall", kNonEmpty, FieldOf<&Cfg::szEraseCmd>, nullptr, nullptr},
    {"flashcp", kNonEmpty, FieldOf<&Cfg::szCopyCmd>, nullptr, nullptr},
    {"nBlockSize", kRequired, nullptr, StoreBlockSize, nullptr},
};

bool LoadTextKey(const char* pEtcFile, const ConfigKey& key, QDBOOT_CFG_T& cfg) noexcept {
    const TextField field = key.text(cfg);
    const int rc = EtcGetValueFile(pEtcFile, kSystemSection, key.key, field.text,
                                   static_cast<int>(field.size - 1));
    if (rc != 0) {
        return key.rule == KeyRule::kOptional;
    }
    if (key.rule == KeyRule::kRequiredNonEmpty && field.text[0] == '\0') {
        return false;
    }
    return key.accept == nullptr || key.accept(field.text);
}

bool LoadIntKey(const char* pEtcFile, const ConfigKey& key, QDBOOT_CFG_T& cfg) noexcept {
    int value = 0;
    if (EtcGetIntValueFile(pEtcFile, kSystemSection, key.key, &value) != 0) {
        return key.rule == KeyRule::kOptional;
    }
    return key.store(cfg, value);
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

int GetQdBootMtdCfg(const char* pEtcFile, const char* pSection, MTDCFG_T* pMtdCfg) noexcept {
    pMtdCfg->bValid = 0;
    const int rc = EtcGetValueFile(pEtcFile, pSection, "szMtdName", pMtdCfg->szMtdName,
                                   static_cast<int>(sizeof pMtdCfg->szMtdName - 1));
    if (rc != 0 || pMtdCfg->szMtdName[0] == '\0') {
        return 0;  // not configured
    }
    for (const MtdIntKey& key : kMtdIntKeys) {
        if (EtcGetIntValueFile(pEtcFile, pSection, key.key, &(pMtdCfg->*key.field)) != 0) {
            return -1;
        }
    }
    pMtdCfg->bValid = 1;
    return 0;
}

int LoadQdbootConfig(const char* pEtcFile, QDBOOT_CFG_T* pCfg) noexcept {
    std::memset(pCfg, 0, sizeof *pCfg);
    for (const ConfigKey& key : kSystemKeys) {
        const bool ok = key.text != nullptr ? LoadTextKey(pEtcFile, key, *pCfg)
                                            : LoadIntKey(pEtcFile, key, *pCfg);
        if (!ok) {
            return -1;
        }
    }
    for (const MtdSection& mtd : kMtdSections) {
        if (GetQdBootMtdCfg(pEtcFile, mtd.section, &(pCfg->*mtd.record)) != 0) {
            return -1;
        }
    }
    return 0;
}
