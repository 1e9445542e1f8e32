// Loading the configuration: a table of the "system" keys in the order
// they are read, then the three partition sections; the seal section apart.
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

constexpr const char* kSealSection = "seal";
constexpr const char* kSealKeyNames[kMaxSealKeys] = {"key1", "key2"};
constexpr std::size_t kKeyHexChars = 2 * kSealKeySize;

int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseKey(const char* text, unsigned char* key) noexcept {
    if (std::strlen(text) != kKeyHexChars) {
        return false;
    }
    for (std::size_t i = 0; i < kSealKeySize; ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        key[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

// 1: read into `key`; 0: not configured; -1: refused. The text is read one
// character past a key's length, so a longer value is refused, not cut.
int LoadSealKey(const char* pEtcFile, const char* name, unsigned char* key) noexcept {
    char text[kKeyHexChars + 2];
    if (EtcGetValueFile(pEtcFile, kSealSection, name, text, static_cast<int>(sizeof text - 1)) !=
        0) {
        return 0;
    }
    return ParseKey(text, key) ? 1 : -1;
}

// A path that would be cut names another file: refused, like an empty one.
bool LoadCounterPath(const char* pEtcFile, SealConfig& seal) noexcept {
    char text[kMaxCounterPathChars + 2];
    if (EtcGetValueFile(pEtcFile, kSealSection, "counter_file", text,
                        static_cast<int>(sizeof text - 1)) != 0) {
        return true;
    }
    if (text[0] == '\0' || std::strlen(text) > kMaxCounterPathChars) {
        return false;
    }
    return qd::CopyText(seal.szCounterFile, text);
}

}  // namespace

int LoadSealConfig(const char* pEtcFile, SealConfig* pSeal) noexcept {
    std::memset(pSeal, 0, sizeof *pSeal);
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        unsigned char* key = pSeal->byKeys + static_cast<std::size_t>(slot) * kSealKeySize;
        const int rc = LoadSealKey(pEtcFile, kSealKeyNames[slot], key);
        // key2 alone is refused: the slots are filled in order.
        if (rc < 0 || (rc > 0 && pSeal->nKeys != slot)) {
            return -1;
        }
        pSeal->nKeys += rc;
    }
    if (!LoadCounterPath(pEtcFile, *pSeal)) {
        return -1;
    }
    return pSeal->szCounterFile[0] != '\0' && pSeal->nKeys == 0 ? -1 : 0;
}

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
