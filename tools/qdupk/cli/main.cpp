// qdupk: builds and inspects upgrade packages on the host, finds cameras
// and uploads to them. Each command lives in its own cmd_*.cpp; this file
// builds the command line, dispatches, and turns a failure into its
// message and exit status.
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "qd_version.h"

namespace qdupk {
namespace {

constexpr Command (*kCommands[])(CLI::App&) = {
    AddKeygen, AddPack, AddSeal, AddInfo, AddVerify, AddSearch, AddStatus, AddUpload, AddRollout};

const char kToolFooter[] =
    "'qdupk COMMAND --help' shows a command's usage and exit codes.\n"
    "\n"
    "Exit status: 0 success; 1 refused or failed; 2 usage; search, status,\n"
    "upload and rollout add codes of their own from 3 on.\n";

// The command the line named, or the tool itself when it named none.
const CLI::App& Selected(const CLI::App& tool) {
    const std::vector<CLI::App*> selected = tool.get_subcommands();
    return selected.empty() ? tool : *selected.front();
}

// One mistake gets one message, whichever command it is made with: an
// unknown option is named as such even where the parser would first miss
// an operand, and words left over are named the same way everywhere.
int ParseFailure(const CLI::App& tool, const CLI::ParseError& error) {
    const CLI::App& where = Selected(tool);
    const std::vector<std::string> left = where.remaining();
    for (const std::string& word : left) {
        if (word.size() > 1 && word[0] == '-') {
            return UsageError(where, "unknown option '" + word + "'");
        }
    }
    if (left.empty() || error.get_exit_code() != static_cast<int>(CLI::ExitCodes::ExtrasError)) {
        return UsageError(where, error.what());
    }
    return UsageError(where, (&where == &tool ? "unknown command '" : "unexpected argument '") +
                                 left.front() + "'");
}

int Parse(CLI::App& tool, int argc, char** argv) {
    try {
        tool.parse(argc, argv);
    } catch (const CLI::CallForVersion& e) {
        (void)std::printf("qdupk %s\n", e.what());
        return kExitOk;
    } catch (const CLI::CallForHelp&) {
        (void)std::fputs(Selected(tool).help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        return ParseFailure(tool, e);
    }
    return -1;
}

// Every command fails the same way: its refusals and faults as an Error
// with the exit status they mean, a line it finds wrong only after parsing
// as a usage error, anything else as a plain failure.
int RunCommand(const Command& command) {
    const char* name = command.app->get_name().c_str();
    try {
        return command.run();
    } catch (const Error& e) {
        (void)Failure(name, e.what());
        return e.status();
    } catch (const CLI::ValidationError& e) {
        return UsageError(*command.app, e.what());
    } catch (const std::exception& e) {
        return Failure(name, e.what());
    }
}

int Run(int argc, char** argv) {
    CLI::App tool("", "qdupk");
    tool.formatter(std::make_shared<HelpFormatter>());
    tool.set_help_flag("-h,--help", "show this help and exit");
    tool.set_version_flag("--version", QD_VERSION, "print the version and exit");
    tool.footer(kToolFooter);
    // A repeated option overrides the earlier one, so a script may append
    // its own time-out to a command line of defaults.
    tool.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::vector<Command> commands;
    for (const auto add : kCommands) {
        commands.push_back(add(tool));
    }
    const int parsed = Parse(tool, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    for (const Command& command : commands) {
        if (command.app->parsed()) {
            return RunCommand(command);
        }
    }
    (void)std::fputs(tool.help().c_str(), stderr);
    return kExitUsage;
}

}  // namespace

int Failure(const char* name, const std::string& message) {
    (void)std::fprintf(stderr, "qdupk %s: error: %s\n", name, message.c_str());
    return kExitFailed;
}

void Warning(const char* name, const std::string& message) {
    (void)std::fprintf(stderr, "qdupk %s: warning: %s\n", name, message.c_str());
}

}  // namespace qdupk

int main(int argc, char** argv) {
    try {
        return qdupk::Run(argc, argv);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "qdupk: error: %s\n", e.what());
        return qdupk::kExitFailed;
    }
}
