// Signal handlers only clear the run flag; the loops look at it.
#include "stop_signals.h"

volatile sig_atomic_t asvthread_run = 1;

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void RequestStop(int /*signal*/) {
    asvthread_run = 0;
}

sigset_t StopSignalSet() noexcept {
    sigset_t set;
    static_cast<void>(sigemptyset(&set));
    for (const int sig : kStopSignals) {
        static_cast<void>(sigaddset(&set, sig));
    }
    return set;
}

void SetDisposition(int sig, void (*handler)(int)) noexcept {
    struct sigaction action {};
    action.sa_handler = handler;
    static_cast<void>(sigemptyset(&action.sa_mask));
    action.sa_flags = 0;
    static_cast<void>(sigaction(sig, &action, nullptr));
}

}  // namespace

// Without SA_RESTART, so a stop signal wakes a sleep or poll at once.
void InstallSignalHandling() noexcept {
    for (const int sig : kStopSignals) {
        SetDisposition(sig, RequestStop);
    }
    SetDisposition(SIGPIPE, SIG_IGN);
    SetDisposition(SIGCHLD, SIG_DFL);
    const sigset_t stop = StopSignalSet();
    static_cast<void>(sigprocmask(SIG_UNBLOCK, &stop, nullptr));
}

bool StopRequested() noexcept {
    return asvthread_run == 0;
}

StopSignalsHeld::StopSignalsHeld() noexcept {
    const sigset_t stop = StopSignalSet();
    static_cast<void>(sigprocmask(SIG_BLOCK, &stop, &previous_));
}

StopSignalsHeld::~StopSignalsHeld() {
    static_cast<void>(sigprocmask(SIG_SETMASK, &previous_, nullptr));
}
