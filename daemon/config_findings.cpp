#include "config_findings.h"

#include <cstdarg>
#include <cstdio>

void NoteFinding(ConfigFindings* findings, const char* section, const char* fmt, ...) noexcept {
    if (findings == nullptr) {
        return;
    }
    char text[kFindingSize];
    va_list args;
    va_start(args, fmt);
    // A text cut short still names its key.
    static_cast<void>(std::vsnprintf(text, sizeof text, fmt, args));
    va_end(args);
    findings->note(findings->context, section, text);
}
