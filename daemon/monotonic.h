// Intervals the daemon keeps (retries, rate limits) are measured on the
// monotonic clock: setting the wall clock must not stall or unleash them.
#ifndef MONOTONIC_H
#define MONOTONIC_H

#include <ctime>

inline long long MonotonicMs() noexcept {
    timespec now{};
    static_cast<void>(clock_gettime(CLOCK_MONOTONIC, &now));
    return static_cast<long long>(now.tv_sec) * 1000LL + now.tv_nsec / 1000000L;
}

#endif  // MONOTONIC_H
