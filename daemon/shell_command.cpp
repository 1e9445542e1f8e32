// posix_spawn rather than fork and exec: the child's signal state and
// process group are set before the shell starts, with none of the daemon's
// code running in the child.
#include "shell_command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qd_log.h"

namespace qd {

namespace {

constexpr char kShell[] = "/bin/sh";
constexpr std::size_t kFixedArgs = 3;  // sh -c script

// "sh -c script words...": exec takes the words as they are, so nothing in
// them is split, expanded or run; the shell hands them to the script as
// "$0", "$1", ...
class ShellArgv {
  public:
    ShellArgv(const char* script, const char* const* words) noexcept
        : argv_{name_, option_, const_cast<char*>(script)} {
        std::size_t count = 0;
        while (words != nullptr && words[count] != nullptr) {
            if (count == kMaxCommandWords) {
                fits_ = false;
                return;
            }
            argv_[kFixedArgs + count] = const_cast<char*>(words[count]);
            ++count;
        }
        argv_[kFixedArgs + count] = nullptr;
    }
    ShellArgv(const ShellArgv&) = delete;
    ShellArgv& operator=(const ShellArgv&) = delete;

    bool fits() const noexcept { return fits_; }
    char* const* get() noexcept { return argv_; }

  private:
    char name_[3] = "sh";
    char option_[3] = "-c";
    char* argv_[kFixedArgs + kMaxCommandWords + 1];
    bool fits_ = true;
};

// The child starts as a fresh program expects, whatever the caller's signal
// state: nothing blocked, SIGPIPE at its default (a daemon ignores it, and an
// ignored signal survives exec, so a pipeline in a script would never end on
// a closed pipe), and a process group of its own; the caller decides when
// to stop, after the command.
int PrepareChild(posix_spawnattr_t* attr) noexcept {
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

int Spawn(pid_t* pid, char* const* argv) noexcept {
    posix_spawnattr_t attr;
    int error = posix_spawnattr_init(&attr);
    if (error != 0) {
        return error;
    }
    error = PrepareChild(&attr);
    if (error == 0) {
        error = posix_spawn(pid, kShell, nullptr, &attr, argv, environ);
    }
    static_cast<void>(posix_spawnattr_destroy(&attr));  // cannot fail on glibc
    return error;
}

CommandStatus StatusOf(int raw) noexcept {
    if (WIFSIGNALED(raw)) {
        return {CommandStatus::Kind::kKilled, WTERMSIG(raw)};
    }
    return {CommandStatus::Kind::kExited, WEXITSTATUS(raw)};
}

CommandStatus WaitForChild(pid_t pid) noexcept {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return {CommandStatus::Kind::kNotRun, errno};
        }
    }
    return StatusOf(raw);
}

}  // namespace

void DescribeStatus(const CommandStatus& status, char* out, std::size_t size) noexcept {
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

CommandStatus RunCommand(const char* script, const char* const* words) noexcept {
    ShellArgv argv(script, words);
    if (!argv.fits()) {
        return {CommandStatus::Kind::kNotRun, E2BIG};
    }
    LogFlush();
    pid_t pid = -1;
    const int error = Spawn(&pid, argv.get());
    if (error != 0) {
        return {CommandStatus::Kind::kNotRun, error};
    }
    return WaitForChild(pid);
}

CommandStatus StartCommand(const char* script, pid_t* pid) noexcept {
    ShellArgv argv(script, nullptr);
    LogFlush();
    const int error = Spawn(pid, argv.get());
    if (error != 0) {
        return {CommandStatus::Kind::kNotRun, error};
    }
    return {CommandStatus::Kind::kExited, 0};
}

bool PollCommand(pid_t pid, CommandStatus* status) noexcept {
    int raw = 0;
    pid_t ended = -1;
    do {
        ended = ::waitpid(pid, &raw, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) {
        return false;
    }
    *status = ended < 0 ? CommandStatus{CommandStatus::Kind::kNotRun, errno} : StatusOf(raw);
    return true;
}

void StopCommand(pid_t pid) noexcept {
    // The group: a shell's children would otherwise live on.
    static_cast<void>(::kill(-pid, SIGKILL));
    static_cast<void>(WaitForChild(pid));
}

}  // namespace qd
