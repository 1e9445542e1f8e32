// What is wrong with a configuration, told one problem at a time by the
// loaders that read it. Start-up hands them none and stays silent; the
// check (config_check.h) hands them one that prints each problem.
#ifndef CONFIG_FINDINGS_H
#define CONFIG_FINDINGS_H

#include <cstddef>

constexpr std::size_t kFindingSize = 192;

struct ConfigFindings {
    // `section` is null for a problem of the file as a whole.
    void (*note)(void* context, const char* section, const char* text) noexcept;
    void* context;
};

// Formats one problem and hands it to `findings`; nothing without them.
__attribute__((format(printf, 3, 4))) void NoteFinding(ConfigFindings* findings,
                                                       const char* section, const char* fmt,
                                                       ...) noexcept;

#endif  // CONFIG_FINDINGS_H
