// The status query's settings: section "status". Kept out of QDBOOT_CFG_T,
// whose layout C code relies on; start-up loads them beside the others.
#ifndef QDBOOT_CONFIG_STATUS_H
#define QDBOOT_CONFIG_STATUS_H

#include <cstddef>

constexpr std::size_t kStatusProblemSize = 96;

struct StatusConfig {
    // "detail": what an asker learns. Basic: the daemon's version, device
    // name, journal state, recovery flag, slot and up time; full adds the
    // package, the seal counter and the last upload's result.
    bool bFull;
    // Non-empty: what is wrong with [status]; the daemon answers with basic.
    char szProblem[kStatusProblemSize];
};

// Clears *pStatus and reads "detail" of [status]: "basic" (also when the
// key or the section is missing) or "full". Any other value is recorded
// in szProblem and taken as basic. Prints nothing.
void LoadStatusConfig(const char* pEtcFile, StatusConfig* pStatus) noexcept;

// At start-up: the error line for a problem in [status], if there is one.
void ReportStatusProblem(const StatusConfig& status) noexcept;

#endif  // QDBOOT_CONFIG_STATUS_H
