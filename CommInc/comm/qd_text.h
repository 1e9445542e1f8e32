// Bounded text: every copy into a fixed array terminates and tells the
// caller whether it had to cut.
#ifndef QD_TEXT_H
#define QD_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace qd {

// Copies src into dst[dstSize], always terminated. False when src was cut
// (or dstSize is 0).
[[nodiscard]] inline bool CopyText(char* dst, std::size_t dstSize, const char* src) noexcept {
    if (dstSize == 0) {
        return false;
    }
    const std::size_t len = std::strlen(src);
    const std::size_t n = len < dstSize ? len : dstSize - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return n == len;
}

template <std::size_t N>
[[nodiscard]] bool CopyText(char (&dst)[N], const char* src) noexcept {
    return CopyText(dst, N, src);
}

// Length of a string stored in a fixed array that may lack a terminator.
inline std::size_t BoundedLength(const char* text, std::size_t size) noexcept {
    const void* nul = std::memchr(text, '\0', size);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
}

// snprintf that reports a cut: false when the output did not fit (or on a
// formatting error); dst is terminated in every case.
[[nodiscard]] __attribute__((format(printf, 3, 4))) inline bool FormatText(char* dst,
                                                                           std::size_t dstSize,
                                                                           const char* fmt,
                                                                           ...) noexcept {
    if (dstSize == 0) {
        return false;
    }
    std::va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(dst, dstSize, fmt, args);
    va_end(args);
    return n >= 0 && static_cast<std::size_t>(n) < dstSize;
}

}  // namespace qd

#endif  // QD_TEXT_H
