// How the daemon is stopped: SIGTERM, SIGINT and SIGHUP ask it to stop,
// whatever it is doing; it then finishes what it has begun and ends with 0.
#ifndef STOP_SIGNALS_H
#define STOP_SIGNALS_H

#include <csignal>

// The daemon runs while this is non-zero; it starts so, and only the stop
// signals clear it. The service loop reads it between waits, then leaves
// the group, closes its sockets and ends with 0.
extern volatile sig_atomic_t asvthread_run;
static_assert(sizeof(sig_atomic_t) == 4, "the run flag is a 32-bit word");

// Sets up the daemon's signal handling; call it before anything can wait.
// The stop signals clear the run flag and are unblocked, SIGPIPE is
// ignored (a client or log reader that goes away must not end an install)
// and SIGCHLD is at its default, so commands can be waited for even when
// the daemon was started with it ignored.
void InstallSignalHandling() noexcept;

// True once a stop signal has arrived.
bool StopRequested() noexcept;

// Holds the stop signals back for its lifetime: an upload, its installation
// and the reboot that follows are never cut short, and no system call in
// them is interrupted. A signal that arrives meanwhile is handled when the
// holder goes.
class StopSignalsHeld {
  public:
    StopSignalsHeld() noexcept;
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

#endif  // STOP_SIGNALS_H
