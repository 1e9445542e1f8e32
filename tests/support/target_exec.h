// Running this build's own executables from a test. A cross build's tests
// run under the emulator that CTest uses (CMAKE_CROSSCOMPILING_EMULATOR);
// a helper they start is a target binary too and needs the same prefix.
#ifndef QD_TEST_TARGET_EXEC_H
#define QD_TEST_TARGET_EXEC_H

#include <string>
#include <vector>

namespace qdtest {

// <build>/bin/<name>: an executable of this build.
std::string BuildExecutable(const std::string& name);

// argv that runs program with args: the emulator and its options first
// when the tests were built for another machine.
std::vector<std::string> TargetArgv(const std::string& program,
                                    const std::vector<std::string>& args = {});

// The same as one shell command line for system() or popen(), every word
// quoted; redirections may be appended.
std::string TargetShellCommand(const std::string& program,
                               const std::vector<std::string>& args = {});

// Single-quoted for sh: the word as it is, whatever it holds.
std::string ShellQuote(const std::string& word);

// True when the tests run under user-mode emulation.
bool UnderEmulator();

}  // namespace qdtest

#endif  // QD_TEST_TARGET_EXEC_H
