#include "target_exec.h"

// Generated at configure time: QD_TEST_EMULATOR_WORDS lists the emulator's
// words as string literals (nothing for a native build).
#include "qd_test_emulator.h"

namespace qdtest {

namespace {

std::vector<std::string> EmulatorWords() {
    return {QD_TEST_EMULATOR_WORDS};
}

}  // namespace

std::string BuildExecutable(const std::string& name) {
    return std::string(QD_BINARY_DIR) + "/bin/" + name;
}

std::vector<std::string> TargetArgv(const std::string& program,
                                    const std::vector<std::string>& args) {
    std::vector<std::string> argv = EmulatorWords();
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string TargetShellCommand(const std::string& program, const std::vector<std::string>& args) {
    std::string command;
    for (const std::string& word : TargetArgv(program, args)) {
        command += (command.empty() ? "" : " ") + ShellQuote(word);
    }
    return command;
}

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool UnderEmulator() {
    return !EmulatorWords().empty();
}

}  // namespace qdtest
