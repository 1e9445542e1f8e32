// The daemon's external work goes through /bin/sh. Each command runs in a
// child of its own, so the caller's signals stay the caller's: system()
// would ignore SIGINT in the caller for the command's whole run and lose it.
#ifndef SHELL_COMMAND_H
#define SHELL_COMMAND_H

#include <sys/types.h>

#include <cstddef>

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
void DescribeStatus(const CommandStatus& status, char* out, std::size_t size) noexcept;

// At most this many words follow the script (see RunCommand).
constexpr std::size_t kMaxCommandWords = 4;

// Runs "/bin/sh -c script" to completion, with the child's signal state
// fresh and in a process group of its own (a Ctrl-C on the caller's console
// cannot stop a flash copy half-way). Only `script` is parsed by the shell:
// it is the daemon's own text or trusted configuration. `words`, when not
// null, is a null-terminated list (as for execv) that follows the script on
// sh's command line, so the script sees them as "$0", "$1", ... exactly as
// they are; text from outside (a path a package names) goes there, never
// into `script`. More than kMaxCommandWords words: not run (E2BIG).
//
// The log is flushed first, gathered lines included, so the command's own
// output lands after every line printed before, and a command that ends the
// process (reboot) finds the whole log written. A signal that interrupts
// the wait is the caller's to handle (its handler has run); the command is
// waited for to its end all the same.
[[nodiscard]] CommandStatus RunCommand(const char* script,
                                       const char* const* words = nullptr) noexcept;

// Starts "/bin/sh -c script" as RunCommand does, without waiting: the
// caller polls it with PollCommand. kNotRun when it could not start;
// otherwise kExited with value 0 and *pid set.
[[nodiscard]] CommandStatus StartCommand(const char* script, pid_t* pid) noexcept;

// Whether the command has ended, without waiting; *status then says how.
bool PollCommand(pid_t pid, CommandStatus* status) noexcept;

// Kills the command's whole process group and waits for the command.
void StopCommand(pid_t pid) noexcept;

}  // namespace qd

#endif  // SHELL_COMMAND_H
