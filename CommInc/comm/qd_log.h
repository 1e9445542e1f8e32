// Output lines shared by every part of the system. Standard output is the
// only log: errors carry "ERROR(file line): ", traces "(file line): ".
//
// The log policy: every line goes out at once (written before the call
// returns), whatever buffering stdout has, except the trace lines that a
// long pass prints per chunk (QD_LOG_GATHER). Those stay in stdout's own
// buffer and go out in blocks: with the next line of any other kind (they
// share the buffer, so order is kept), before any command runs
// (qd::RunCommand flushes), at the end of the pass (LogFlush), when the
// buffer fills, and at exit (the C runtime flushes stdout). A program that
// never calls GatherTraceLines keeps its stdout as it was, so even the
// gathered lines follow its buffering.
#ifndef QD_LOG_H
#define QD_LOG_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace qd {

// Puts out every gathered line now. A log that cannot be written is no
// reason to stop the work the lines describe.
inline void LogFlush() noexcept {
    static_cast<void>(std::fflush(stdout));
}

// stdout fully buffered in a fixed buffer of its own (no heap), so gathered
// lines cost one write per buffer instead of one per line. Call before
// anything is printed; every other line still goes out at once.
inline void GatherTraceLines() noexcept {
    constexpr std::size_t kGatherSize = std::size_t{16} * 1024;
    static char s_gathered[kGatherSize];
    static_cast<void>(std::setvbuf(stdout, s_gathered, _IOFBF, sizeof s_gathered));
}

namespace detail {
// One lock around prefix, message and flush so lines from the serial
// receive thread never interleave with the caller's.
__attribute__((format(printf, 5, 0))) inline void LogPrefixed(const char* prefix, const char* file,
                                                              int line, bool gather,
                                                              const char* fmt, std::va_list args) {
    flockfile(stdout);
    std::printf("%s(%s %d): ", prefix, file, line);
    std::vprintf(fmt, args);
    if (!gather) {
        LogFlush();
    }
    funlockfile(stdout);
}
}  // namespace detail

__attribute__((format(printf, 3, 4))) inline void LogError(const char* file, int line,
                                                           const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    detail::LogPrefixed("ERROR", file, line, false, fmt, args);
    va_end(args);
}

__attribute__((format(printf, 3, 4))) inline void LogTrace(const char* file, int line,
                                                           const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    detail::LogPrefixed("", file, line, false, fmt, args);
    va_end(args);
}

// A trace line that may wait in the buffer (see the policy above). Only for
// the lines a pass prints per chunk; the pass ends with LogFlush.
__attribute__((format(printf, 3, 4))) inline void LogGathered(const char* file, int line,
                                                              const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    detail::LogPrefixed("", file, line, true, fmt, args);
    va_end(args);
}

// A line without prefix (the flash command lines, for instance).
__attribute__((format(printf, 1, 2))) inline void LogPlain(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    flockfile(stdout);
    std::vprintf(fmt, args);
    LogFlush();
    funlockfile(stdout);
    va_end(args);
}

}  // namespace qd

#define QD_LOG_ERR(...) ::qd::LogError(__FILE__, __LINE__, __VA_ARGS__)
#define QD_LOG_TRACE(...) ::qd::LogTrace(__FILE__, __LINE__, __VA_ARGS__)
#define QD_LOG_GATHER(...) ::qd::LogGathered(__FILE__, __LINE__, __VA_ARGS__)

#endif  // QD_LOG_H
