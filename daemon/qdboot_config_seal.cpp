// The [seal] section: two key slots and the counter file, read with the INI
// library's lookups like every other setting; and the whole file walked
// once for slips, spellings that the lookups would pass over and so leave
// a camera less protected than its configuration meant.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "etc_lines.h"
#include "etcfile.h"
#include "libqdupdate.h"
#include "qd_hex.h"
#include "qd_text.h"
#include "qdboot_config.h"

namespace {

constexpr const char* kSealSection = "seal";
constexpr const char* kCounterKey = "counter_file";
// The key slots first, in slot order, then the counter file.
constexpr const char* kSealKeys[] = {"key1", "key2", kCounterKey};
constexpr int kSealKeyCount = 3;
static_assert(kMaxSealKeys < kSealKeyCount, "the key slots come before counter_file");
constexpr std::size_t kKeyHexChars = 2 * std::size_t{QDUPK_KEY_SIZE};
constexpr std::size_t kNameShown = 40;  // a name quoted in a slip is cut here
constexpr std::size_t kWhereSize = 64;

// The settings being loaded, and who is told each problem.
struct SealLoad {
    SealConfig& seal;
    ConfigFindings* findings;
};

// The log names the first slip (fixing it shows the next); the findings
// get every one.
__attribute__((format(printf, 2, 3))) void NoteSlip(SealLoad& load, const char* fmt, ...) noexcept {
    char text[kSealSlipSize];
    va_list args;
    va_start(args, fmt);
    // A message cut short still names its slip.
    static_cast<void>(std::vsnprintf(text, sizeof text, fmt, args));
    va_end(args);
    if (load.seal.nSlips++ == 0) {
        static_cast<void>(qd::CopyText(load.seal.szSlip, text));  // same size
    }
    NoteFinding(load.findings, kSealSection, "%s", text);
}

bool IsAlnum(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char Lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `name`, lower-cased and with everything but letters and digits
// left out, is `target` with the same done to it: "[Seal]", "[se-al]",
// "Key_1" and "counterFile" all reduce to a seal name.
bool ReducesTo(const char* name, const char* target) noexcept {
    for (;; ++name, ++target) {
        while (*name != '\0' && !IsAlnum(*name)) {
            ++name;
        }
        while (*target != '\0' && !IsAlnum(*target)) {
            ++target;
        }
        if (*name == '\0' || *target == '\0') {
            return *name == *target;
        }
        if (Lower(*name) != Lower(*target)) {
            return false;
        }
    }
}

int SealKeyIndex(const char* key) noexcept {
    for (int i = 0; i < kSealKeyCount; ++i) {
        if (std::strcmp(key, kSealKeys[i]) == 0) {
            return i;
        }
    }
    return -1;
}

enum class Place { kTop, kSeal, kRepeatedSeal, kOther };

struct SlipWalk {
    SealLoad* load;
    Place place;
    char section[kNameShown + 1];  // the current section's name, as far as shown
    int sealHeaders;
    bool seen[kSealKeyCount];  // keys of [seal] met so far
};

void EnterSection(SlipWalk& walk, const char* name) noexcept {
    static_cast<void>(qd::CopyText(walk.section, name));  // kept only to be shown
    walk.place = Place::kOther;
    if (std::strcmp(name, kSealSection) == 0) {
        walk.place = walk.sealHeaders++ == 0 ? Place::kSeal : Place::kRepeatedSeal;
        if (walk.place == Place::kRepeatedSeal) {
            NoteSlip(*walk.load, "[seal] is given twice; only the first is read");
        }
    } else if (ReducesTo(name, kSealSection)) {
        NoteSlip(*walk.load, "section [%.*s] is not read: the seal section is [seal]",
                 static_cast<int>(kNameShown), name);
    }
}

void CheckSealKey(SlipWalk& walk, const char* key) noexcept {
    const int index = SealKeyIndex(key);
    if (index < 0) {
        NoteSlip(*walk.load, "unknown key \"%.*s\" in [seal]", static_cast<int>(kNameShown), key);
    } else if (walk.seen[index]) {
        NoteSlip(*walk.load, "%s is given twice in [seal]; only the first is read", key);
    } else {
        walk.seen[index] = true;
    }
}

// A seal key anywhere else is read by nobody.
void CheckOtherKey(SlipWalk& walk, const char* key) noexcept {
    for (const char* sealKey : kSealKeys) {
        if (!ReducesTo(key, sealKey)) {
            continue;
        }
        char where[kWhereSize];
        if (walk.place == Place::kTop) {
            static_cast<void>(qd::CopyText(where, "above the first section"));
        } else {
            static_cast<void>(qd::FormatText(where, sizeof where, "in [%s]", walk.section));
        }
        NoteSlip(*walk.load, "\"%.*s\" is not read %s: seal keys belong in [seal]",
                 static_cast<int>(kNameShown), key, where);
        return;
    }
}

bool VisitLine(void* context, const etcfile::EtcLine& line) noexcept {
    SlipWalk& walk = *static_cast<SlipWalk*>(context);
    if (line.kind == etcfile::EtcLineKind::kSection) {
        EnterSection(walk, line.name);
    } else if (walk.place == Place::kSeal) {
        CheckSealKey(walk, line.name);
    } else if (walk.place != Place::kRepeatedSeal) {  // that one is a slip already
        CheckOtherKey(walk, line.name);
    }
    return true;
}

void FindSlips(const char* pEtcFile, SealLoad& load) noexcept {
    SlipWalk walk = {&load, Place::kTop, "", 0, {}};
    if (etcfile::etc_ForEachLine(pEtcFile, VisitLine, &walk) != 0) {
        NoteSlip(load, "the configuration file cannot be read to its end");
    }
}

// Why a slot's text is no key, said with the slot's name: how many hex
// digits it has, or the first character that is none.
void NoteMalformedKey(const SealLoad& load, int slot, const char* text) noexcept {
    const std::size_t digits = std::strspn(text, "0123456789abcdefABCDEF");
    const char* name = kSealKeys[slot];
    if (text[digits] != '\0') {
        NoteFinding(load.findings, kSealSection,
                    "%s has '%c' at position %zu, not a hex digit: a key is 64 hex digits", name,
                    text[digits], digits + 1);
    } else if (digits > kKeyHexChars) {
        NoteFinding(load.findings, kSealSection, "%s is more than %zu hex digits, needs %zu", name,
                    kKeyHexChars, kKeyHexChars);
    } else {
        NoteFinding(load.findings, kSealSection, "%s is %zu hex digits, needs %zu", name, digits,
                    kKeyHexChars);
    }
}

// Fills one slot; false when its line is missing. The text is read one
// character past a key's length, so a longer value is malformed, not cut.
bool LoadSlot(const char* pEtcFile, int slot, const SealLoad& load) noexcept {
    char text[kKeyHexChars + 2];
    if (EtcGetValueFile(pEtcFile, kSealSection, kSealKeys[slot], text,
                        static_cast<int>(sizeof text - 1)) != 0) {
        return false;
    }
    SealConfig& seal = load.seal;
    const auto at = static_cast<std::size_t>(slot);
    unsigned char* key = seal.byKeys + at * QDUPK_KEY_SIZE;
    if (text[0] == '\0') {
        seal.emSlots[slot] = SealKeySlot::kEmpty;
    } else if (!qd::ParseHex(text, std::strlen(text), key, QDUPK_KEY_SIZE)) {
        seal.emSlots[slot] = SealKeySlot::kMalformed;
        NoteMalformedKey(load, slot, text);
    } else {
        const bool usable = libqdupk_checkkey(key, seal.byKeyIds + at * QDUPK_KEYID_SIZE) == 0;
        seal.emSlots[slot] = usable ? SealKeySlot::kUsable : SealKeySlot::kWeak;
        if (!usable) {
            NoteFinding(load.findings, kSealSection,
                        "%s is a small-order or non-canonical key, which anyone could sign for",
                        kSealKeys[slot]);
        }
    }
    return true;
}

// Emptied key lines must not read as "no keys": a camera would then take
// unsigned packages because someone cleared a value.
void LoadSlots(const char* pEtcFile, SealLoad& load) noexcept {
    bool anyLine = false;
    for (int slot = 0; slot < kMaxSealKeys; ++slot) {
        anyLine = LoadSlot(pEtcFile, slot, load) || anyLine;
    }
    if (anyLine && !SealKeysConfigured(load.seal)) {
        NoteSlip(load, "every key line in [seal] is empty: give a key, or remove the lines");
    }
}

// A path that would be cut names another file. Without a usable key
// anyone can seal any counter, so the file would protect nothing.
void LoadCounterPath(const char* pEtcFile, SealLoad& load) noexcept {
    char text[kMaxCounterPathChars + 2];
    if (EtcGetValueFile(pEtcFile, kSealSection, kCounterKey, text,
                        static_cast<int>(sizeof text - 1)) != 0 ||
        text[0] == '\0') {
        return;
    }
    SealConfig& seal = load.seal;
    if (!qd::CopyText(seal.szCounterFile, text)) {
        seal.szCounterFile[0] = '\0';
        NoteSlip(load, "counter_file is longer than %zu characters", kMaxCounterPathChars);
    } else if (!SealHasUsableKey(seal)) {
        NoteSlip(load, "counter_file needs a usable key1 or key2");
    }
}

}  // namespace

const char* SealKeyName(int slot) noexcept {
    return slot >= 0 && slot < kMaxSealKeys ? kSealKeys[slot] : "?";
}

bool SealKeysConfigured(const SealConfig& seal) noexcept {
    for (const SealKeySlot slot : seal.emSlots) {
        if (slot != SealKeySlot::kEmpty) {
            return true;
        }
    }
    return false;
}

bool SealHasUsableKey(const SealConfig& seal) noexcept {
    for (const SealKeySlot slot : seal.emSlots) {
        if (slot == SealKeySlot::kUsable) {
            return true;
        }
    }
    return false;
}

void LoadSealConfig(const char* pEtcFile, SealConfig* pSeal) noexcept {
    LoadSealConfig(pEtcFile, pSeal, nullptr);
}

void LoadSealConfig(const char* pEtcFile, SealConfig* pSeal, ConfigFindings* findings) noexcept {
    std::memset(pSeal, 0, sizeof *pSeal);
    SealLoad load{*pSeal, findings};
    FindSlips(pEtcFile, load);
    LoadSlots(pEtcFile, load);
    LoadCounterPath(pEtcFile, load);
}
