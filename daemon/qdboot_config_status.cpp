// [status], read with the INI library's lookup.
#include "qdboot_config_status.h"

#include <cstring>

#include "etcfile.h"
#include "qd_log.h"
#include "qd_text.h"

namespace {

constexpr const char* kSection = "status";
constexpr const char* kDetailKey = "detail";
// Longer than either word, so a longer value is never cut into one.
constexpr std::size_t kValueSize = 16;

}  // namespace

void LoadStatusConfig(const char* pEtcFile, StatusConfig* pStatus) noexcept {
    std::memset(pStatus, 0, sizeof *pStatus);
    char value[kValueSize + 1] = {};
    if (EtcGetValueFile(pEtcFile, kSection, kDetailKey, value, static_cast<int>(kValueSize)) != 0 ||
        std::strcmp(value, "basic") == 0) {
        return;
    }
    if (std::strcmp(value, "full") == 0) {
        pStatus->bFull = true;
        return;
    }
    static_cast<void>(qd::FormatText(pStatus->szProblem, sizeof pStatus->szProblem,
                                     "detail=%.40s in [status] is neither basic nor full", value));
}

void ReportStatusProblem(const StatusConfig& status) noexcept {
    if (status.szProblem[0] != '\0') {
        QD_LOG_ERR("%s: status answers are basic\n", status.szProblem);
    }
}
