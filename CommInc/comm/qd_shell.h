// External work is done through the shell. Each command runs in a child of
// its own, so the caller's signals stay the caller's: system() would ignore
// SIGINT in the caller for the command's whole run and lose it. Usable from
// the libraries too (no exceptions, no allocation).
#ifndef QD_SHELL_H
#define QD_SHELL_H

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "qd_log.h"

namespace qd {

// How a command ended. Most callers ignore it by design, and say so where
// they call; the flash installers must not.
struct CommandStatus {
    enum class Kind {
        kExited,  // value: the exit code (127: the shell found no such command)
        kKilled,  // value: the signal that ended it
        kNotRun,  // value: the errno that kept it from starting or being waited for
    };
    Kind kind;
    int value;

    bool Succeeded() const noexcept { return kind == Kind::kExited && value == 0; }
};

// The status as an error line puts it: "exit status 1", "killed by signal 9",
// "not run (No such file or directory)". A description cut to fit `out` still
// says enough, so the length is not checked.
inline void DescribeStatus(const CommandStatus& status, char* out, std::size_t size) noexcept {
    switch (status.kind) {
        case CommandStatus::Kind::kExited:
            static_cast<void>(std::snprintf(out, size, "exit status %d", status.value));
            break;
        case CommandStatus::Kind::kKilled:
            static_cast<void>(std::snprintf(out, size, "killed by signal %d", status.value));
            break;
        case CommandStatus::Kind::kNotRun:
            static_cast<void>(
                std::snprintf(out, size, "not run (%s)", std::strerror(status.value)));
            break;
    }
}

namespace detail {

// The child starts as a fresh program expects, whatever the caller's signal
// state: nothing blocked, SIGPIPE at its default (a daemon ignores it, and an
// ignored signal survives exec, so a pipeline in a script would never end on
// a closed pipe), and a process group of its own, so a Ctrl-C on the
// caller's console cannot stop a flash copy half-way; the caller decides
// when to stop, after the command.
inline int PrepareChild(posix_spawnattr_t* attr) noexcept {
    sigset_t none;
    sigset_t defaults;
    // These fail only for an invalid signal number or set.
    static_cast<void>(sigemptyset(&none));
    static_cast<void>(sigemptyset(&defaults));
    static_cast<void>(sigaddset(&defaults, SIGPIPE));
    int error = posix_spawnattr_setsigmask(attr, &none);
    if (error == 0) {
        error = posix_spawnattr_setsigdefault(attr, &defaults);
    }
    if (error == 0) {
        error = posix_spawnattr_setpgroup(attr, 0);
    }
    if (error == 0) {
        error = posix_spawnattr_setflags(
            attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    return error;
}

// A signal that interrupts the wait is the caller's to handle (its handler
// has run); the command goes on and is waited for again.
inline CommandStatus WaitForChild(pid_t pid) noexcept {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return {CommandStatus::Kind::kNotRun, errno};
        }
    }
    if (WIFSIGNALED(raw)) {
        return {CommandStatus::Kind::kKilled, WTERMSIG(raw)};
    }
    return {CommandStatus::Kind::kExited, WEXITSTATUS(raw)};
}

}  // namespace detail

// Runs "/bin/sh -c commandLine" to completion. The log is flushed first,
// gathered lines included, so the command's own output lands after every
// line printed before, and a command that ends the process (reboot) finds
// the whole log written.
[[nodiscard]] inline CommandStatus RunCommand(const char* commandLine) noexcept {
    LogFlush();
    posix_spawnattr_t attr;
    int error = posix_spawnattr_init(&attr);
    if (error != 0) {
        return {CommandStatus::Kind::kNotRun, error};
    }
    error = detail::PrepareChild(&attr);
    pid_t pid = -1;
    if (error == 0) {
        char sh[] = "sh";
        char dashC[] = "-c";
        char* argv[] = {sh, dashC, const_cast<char*>(commandLine), nullptr};
        error = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    }
    static_cast<void>(posix_spawnattr_destroy(&attr));  // cannot fail on glibc
    if (error != 0) {
        return {CommandStatus::Kind::kNotRun, error};
    }
    return detail::WaitForChild(pid);
}

}  // namespace qd

#endif  // QD_SHELL_H
