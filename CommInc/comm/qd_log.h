// Output lines shared by every part of the system. Standard output is the
// only log: errors carry "ERROR(file line): ", traces "(file line): ".
#ifndef QD_LOG_H
#define QD_LOG_H

#include <cstdarg>
#include <cstdio>

namespace qd {

namespace detail {
// One lock around prefix and message so lines from the serial receive
// thread never interleave with the caller's.
__attribute__((format(printf, 4, 0))) inline void LogPrefixed(const char* prefix, const char* file,
                                                              int line, const char* fmt,
                                                              std::va_list args) {
    flockfile(stdout);
    std::printf("%s(%s %d): ", prefix, file, line);
    std::vprintf(fmt, args);
    funlockfile(stdout);
}
}  // namespace detail

__attribute__((format(printf, 3, 4))) inline void LogError(const char* file, int line,
                                                           const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    detail::LogPrefixed("ERROR", file, line, fmt, args);
    va_end(args);
}

__attribute__((format(printf, 3, 4))) inline void LogTrace(const char* file, int line,
                                                           const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    detail::LogPrefixed("", file, line, fmt, args);
    va_end(args);
}

// A line without prefix (the flash command lines, for instance).
__attribute__((format(printf, 1, 2))) inline void LogPlain(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
}

}  // namespace qd

#define QD_LOG_ERR(...) ::qd::LogError(__FILE__, __LINE__, __VA_ARGS__)
#define QD_LOG_TRACE(...) ::qd::LogTrace(__FILE__, __LINE__, __VA_ARGS__)

#endif  // QD_LOG_H
