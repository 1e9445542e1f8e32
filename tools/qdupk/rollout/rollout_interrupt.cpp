#include "rollout_interrupt.h"

#include <cstddef>

namespace qdupk {

namespace {

volatile std::sig_atomic_t g_presses = 0;

extern "C" void OnInterrupt(int /*signal*/) {
    g_presses = g_presses + 1;
}

// A job killed by its scheduler (SIGTERM) or a session that dropped
// (SIGHUP) gets what Ctrl-C gets: the record of who got the firmware.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
static_assert(sizeof kStopSignals / sizeof kStopSignals[0] == InterruptGuard::kSignalCount);

sigset_t StopSignalSet() {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal : kStopSignals) {
        (void)sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    g_presses = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    (void)sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        (void)sigaction(kStopSignals[i], &action, &savedActions_[i]);
    }
    const sigset_t block = StopSignalSet();
    (void)sigprocmask(SIG_BLOCK, &block, &waitMask_);
    for (const int signal : kStopSignals) {
        (void)sigdelset(&waitMask_, signal);
    }
}

InterruptGuard::~InterruptGuard() {
    const sigset_t unblock = StopSignalSet();
    (void)sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        (void)sigaction(kStopSignals[i], &savedActions_[i], nullptr);
    }
}

const volatile std::sig_atomic_t* InterruptGuard::presses() const {
    return &g_presses;
}

}  // namespace qdupk
