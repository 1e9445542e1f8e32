// What the seal settings mean, said once at start-up: the problems as error
// lines, and what they demand of uploads for the start-up line.
#include <cstdint>
#include <cstring>

#include "package_seal.h"
#include "qd_hex.h"
#include "qd_log.h"
#include "qd_text.h"
#include "seal_counter.h"

namespace {

constexpr std::size_t kKeyIdHexSize = 2 * QDUPK_KEYID_SIZE + 1;
constexpr std::size_t kPartSize = 320;

void KeyIdHex(const SealConfig& seal, int slot, char (&hex)[kKeyIdHexSize]) noexcept {
    const unsigned char* id = seal.byKeyIds + static_cast<std::size_t>(slot) * QDUPK_KEYID_SIZE;
    qd::FormatHex(id, QDUPK_KEYID_SIZE, hex);
}

void ReportSlot(const SealConfig& seal, int slot) noexcept {
    char id[kKeyIdHexSize];
    KeyIdHex(seal, slot, id);
    switch (seal.emSlots[slot]) {
        case SealKeySlot::kEmpty:
        case SealKeySlot::kUsable:
            return;
        case SealKeySlot::kMalformed:
            QD_LOG_ERR("[seal] %s is not 64 hex digits: it takes no package\n", SealKeyName(slot));
            return;
        case SealKeySlot::kWeak:
            QD_LOG_ERR(
                "[seal] %s (key id %s) is a small-order or non-canonical key, which anyone "
                "could sign for: it takes no package\n",
                SealKeyName(slot), id);
            return;
    }
}

// "key 0123456789abcdef (key1) or key ... (key2)" for the usable slots.
void DescribeUsableKeys(const SealConfig& seal, char (&text)[kPartSize]) noexcept {
    text[0] = '\0';
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        if (seal.emSlots[slot] != SealKeySlot::kUsable) {
            continue;
        }
        char id[kKeyIdHexSize];
        KeyIdHex(seal, slot, id);
        const std::size_t used = std::strlen(text);
        static_cast<void>(qd::FormatText(text + used, sizeof text - used, "%skey %s (%s)",
                                         used > 0 ? " or " : "", id, SealKeyName(slot)));
    }
}

void DescribeCounter(const SealConfig& seal, char (&text)[kPartSize]) noexcept {
    if (seal.szCounterFile[0] == '\0') {
        static_cast<void>(qd::CopyText(text, "no counter file (no rollback check)"));
        return;
    }
    std::uint64_t stored = 0;
    const CounterRead read = ReadSealCounter(seal.szCounterFile, &stored);
    if (read == CounterRead::kOk) {
        static_cast<void>(qd::FormatText(text, sizeof text, "stored counter %llu (%s)",
                                         static_cast<unsigned long long>(stored),
                                         seal.szCounterFile));
        return;
    }
    static_cast<void>(qd::FormatText(text, sizeof text,
                                     "counter file %s %s: uploads are refused until it is fixed",
                                     seal.szCounterFile, CounterReadProblem(read)));
}

}  // namespace

void ReportSealProblems(const SealConfig& seal) noexcept {
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        ReportSlot(seal, slot);
    }
    if (seal.nSlips > 1) {
        QD_LOG_ERR("configuration slip: %s (and %d more)\n", seal.szSlip, seal.nSlips - 1);
    } else if (seal.nSlips == 1) {
        QD_LOG_ERR("configuration slip: %s\n", seal.szSlip);
    }
}

void DescribeSealPolicy(const SealConfig& seal, char* text, std::size_t size) noexcept {
    char keys[kPartSize];
    char counter[kPartSize];
    if (seal.szSlip[0] != '\0') {
        static_cast<void>(qd::CopyText(
            text, size, "every upload is refused until the configuration slip is fixed"));
    } else if (!SealKeysConfigured(seal)) {
        static_cast<void>(qd::CopyText(
            text, size, "seals are optional (no key in [seal]): unsigned packages are installed"));
    } else if (!SealHasUsableKey(seal)) {
        static_cast<void>(
            qd::CopyText(text, size,
                         "packages must be signed, but no key in [seal] is usable: every upload "
                         "is refused"));
    } else {
        DescribeUsableKeys(seal, keys);
        DescribeCounter(seal, counter);
        static_cast<void>(
            qd::FormatText(text, size, "packages must be signed by %s; %s", keys, counter));
    }
}
