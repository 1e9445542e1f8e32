// Ctrl-C (or SIGTERM, SIGHUP) during a rollout: counted instead of ending
// the tool (the first starts no new upload, the second aborts the running
// ones), and kept blocked except while the loop waits, so a press is never
// lost between the loop's check and its wait.
#ifndef QDUPK_TOOL_ROLLOUT_INTERRUPT_H
#define QDUPK_TOOL_ROLLOUT_INTERRUPT_H

#include <signal.h>

#include <csignal>
#include <cstddef>

namespace qdupk {

// One at a time: the count is the process's.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static constexpr std::size_t kSignalCount = 3;  // SIGINT, SIGTERM, SIGHUP

    // How often Ctrl-C was pressed (or SIGTERM, SIGHUP came) since the
    // guard was set up.
    const volatile std::sig_atomic_t* presses() const;
    // The signal mask to wait with: the current one, those three let through.
    const sigset_t* waitMask() const { return &waitMask_; }

  private:
    struct sigaction savedActions_[kSignalCount] {};
    sigset_t waitMask_{};
};

// SIGPIPE would end the tool when a camera (or a console's page) closes
// while it is written to; the write fails with EPIPE instead while this
// lives. Setting and restoring are process-wide.
class IgnoreSigpipe {
  public:
    IgnoreSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        (void)sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~IgnoreSigpipe() { (void)sigaction(SIGPIPE, &saved_, nullptr); }
    IgnoreSigpipe(const IgnoreSigpipe&) = delete;
    IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

  private:
    struct sigaction saved_ {};
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_INTERRUPT_H
