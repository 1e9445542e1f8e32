// Waiting in tests without guessing how long things take: poll the
// condition itself, and stretch every ceiling on builds that run slower
// (sanitizers, an emulated target) so a ceiling never decides a result.
//
// The shared waiting helpers (PollUntil, ChildProcess::Wait, RunCommand,
// the virtual camera's WaitFor... calls, the PC side's reads) scale the
// time-outs they are given: callers pass the figure that suits a native,
// unsanitized build. A test that checks a bound itself ("dropped within
// 13 s") wraps the bound in Scaled.
#ifndef QD_TEST_TIMING_H
#define QD_TEST_TIMING_H

#include <algorithm>
#include <chrono>
#include <thread>

namespace qdtest {

using Millis = std::chrono::milliseconds;

// The factor by which this build is slower than a native one: the value of
// QD_TEST_TIME_SCALE when it holds a positive whole number, otherwise what
// the build itself implies (1 for a plain native build).
int TimeScale();

inline Millis Scaled(Millis ceiling) {
    return ceiling * TimeScale();
}

// Polls until pred() holds; false if it still does not after the (scaled)
// time-out. The pause between looks grows from 1 ms to 50 ms, so a quick
// condition is seen at once and a slow one costs little.
template <typename Pred>
bool PollUntil(Millis timeout, Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
    Millis pause(1);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, Millis(50));
    }
    return true;
}

}  // namespace qdtest

#endif  // QD_TEST_TIMING_H
