// The check runs every loader start-up runs, in the same order, with a
// sink that prints what each finds. Start-up stops at a refused [system]
// or partition; the check goes on, so one run shows everything to fix.
#include "config_check.h"

#include <cstdint>

#include "config_findings.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "qdboot_config_status.h"
#include "seal_counter.h"

namespace {

struct Printer {
    std::FILE* out;
    const char* path;
    int told;
};

void PrintFinding(void* context, const char* section, const char* text) noexcept {
    Printer& printer = *static_cast<Printer*>(context);
    ++printer.told;
    static_cast<void>(
        std::fprintf(printer.out, "%s: %s\n", section != nullptr ? section : printer.path, text));
}

// Start-up reads the counter file only to show it; a file that cannot be
// read refuses every signed upload, so it is worth telling here.
void CheckCounterFile(const SealConfig& seal, ConfigFindings* findings) noexcept {
    std::uint64_t counter = 0;
    const CounterRead read = seal.szCounterFile[0] != '\0'
                                 ? ReadSealCounter(seal.szCounterFile, &counter)
                                 : CounterRead::kOk;
    if (read != CounterRead::kOk) {
        NoteFinding(findings, "seal", "counter_file %s %s", seal.szCounterFile,
                    CounterReadProblem(read));
    }
}

// Only the boot journal's uploads judge the slots; the layout is known
// from the settings alone.
void CheckSlots(const BootenvConfig& boot, const QDBOOT_CFG_T& cfg,
                ConfigFindings* findings) noexcept {
    if (boot.bPresent && LayoutOf(boot, cfg) == SlotLayout::kMixed) {
        NoteFinding(findings, "bootenv",
                    "szMtdNameB must be in both [kernel] and [rootfs] (with bAllMtd=1) or in "
                    "neither: flash images are refused");
    }
}

}  // namespace

int CheckConfiguration(const char* path, std::FILE* out) noexcept {
    Printer printer{out, path, 0};
    ConfigFindings findings{PrintFinding, &printer};
    if (!ConfigReadable(path, &findings)) {
        return 1;  // every loader would say the same
    }
    QDBOOT_CFG_T cfg{};
    if (LoadQdbootConfig(path, &cfg, &findings) != 0 && printer.told == 0) {
        NoteFinding(&findings, nullptr, "refused by start-up");  // never silently
    }
    SealConfig seal{};
    LoadSealConfig(path, &seal, &findings);
    CheckCounterFile(seal, &findings);
    BootenvConfig boot{};
    LoadBootenvConfig(path, &boot, &findings);
    CheckSlots(boot, cfg, &findings);
    StatusConfig status{};
    LoadStatusConfig(path, &status);
    if (status.szProblem[0] != '\0') {
        NoteFinding(&findings, "status", "%s", status.szProblem);
    }
    if (printer.told == 0) {
        static_cast<void>(std::fprintf(out, "%s: no problems found\n", path));
    }
    return printer.told == 0 ? 0 : 1;
}
