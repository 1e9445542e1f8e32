#include "rollout_interrupt.h"

namespace qdupk {

namespace {

volatile std::sig_atomic_t g_presses = 0;

extern "C" void OnInterrupt(int /*signal*/) {
    g_presses = g_presses + 1;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    g_presses = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    (void)sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, &savedAction_);
    sigset_t block;
    (void)sigemptyset(&block);
    (void)sigaddset(&block, SIGINT);
    (void)sigprocmask(SIG_BLOCK, &block, &waitMask_);
    (void)sigdelset(&waitMask_, SIGINT);
}

InterruptGuard::~InterruptGuard() {
    sigset_t unblock;
    (void)sigemptyset(&unblock);
    (void)sigaddset(&unblock, SIGINT);
    (void)sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    (void)sigaction(SIGINT, &savedAction_, nullptr);
}

const volatile std::sig_atomic_t* InterruptGuard::presses() const {
    return &g_presses;
}

}  // namespace qdupk
