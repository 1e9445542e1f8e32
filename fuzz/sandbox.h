// The fence around code under fuzzing. Fuzz inputs name files and the code
// runs shell commands, so every fuzz target is linked with --wrap for the
// C library calls that create, change or remove files, start programs or
// sleep (see fuzz/CMakeLists.txt). While a Confinement is alive:
//  - a file may be created, written, truncated, renamed, removed or have its
//    mode changed only when it lies in the scratch directory (its directory
//    resolves to the scratch directory or below, and it is no symbolic
//    link); anything else is refused with EACCES, or ends the run when the
//    target asked for that;
//  - commands (system(), or the command runner's posix_spawn and waitpid)
//    never run anything: the command and the words that follow it are
//    handed to the target's command hook, which checks them and says what
//    status to pretend; popen,
//    fork and the exec family end the run at once;
//  - sleeps return at once, so time-outs made of pauses cost nothing.
// Outside a Confinement every call goes straight to the C library, so
// libFuzzer itself works as usual.
#ifndef QD_FUZZ_SANDBOX_H
#define QD_FUZZ_SANDBOX_H

#include <string>
#include <vector>

namespace qdfuzz {

// Checks one command the code under test wanted to run: the shell text, and
// the words that follow it on sh's command line ("$0", "$1", ...; none for
// system()). Returns the exit status to report. The command is never run.
using Words = std::vector<std::string>;
using CommandHook = int (*)(const std::string& command, const Words& words);

struct FencePolicy {
    std::string scratchDir;           // absolute, resolved path
    bool abortOnEscape = true;        // false: refuse quietly (EACCES)
    CommandHook onCommand = nullptr;  // null: any command ends the run
};

class Confinement {
  public:
    explicit Confinement(const FencePolicy& policy);
    ~Confinement();
    Confinement(const Confinement&) = delete;
    Confinement& operator=(const Confinement&) = delete;
};

// Whether a file named `path` (relative to the working directory) lies in
// `dir` or below it, by the rule of the fence above.
bool LiesIn(const std::string& dir, const char* path);

// Paths refused since the process started (for the targets' statistics).
long RefusedWrites();

// Prints the message to standard error and aborts: a finding.
[[noreturn]] void Fail(const char* what, const std::string& detail);

}  // namespace qdfuzz

#endif  // QD_FUZZ_SANDBOX_H
