// qdupk: builds and inspects upgrade packages on the host, finds cameras
// and uploads to them. Each command lives in its own cmd_*.cpp; this file
// builds the command line, dispatches, and turns a failure into its
// message and exit status.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "manifest.h"
#include "qd_version.h"

namespace qdupk {
namespace {

constexpr Command (*kCommands[])(CLI::App&) = {
    AddKeygen,  AddPack, AddSeal, AddInfo, AddVerify, AddSearch, AddStatus, AddUpload, AddRollout,
#ifdef QDUPK_WITH_CONSOLE
    AddConsole,
#endif
};

const char kToolFooter[] =
    "'qdupk COMMAND --help' shows a command's usage and exit codes.\n"
    "\n"
    "Every command takes -q, --quiet: nothing on stdout but what --json asks\n"
    "for; warnings and errors still go to stderr.\n"
    "\n"
    "Exit status: 0 success; 1 refused or failed; 2 usage; search, status,\n"
    "upload, rollout and console add codes of their own from 3 on.\n";

// The command the line named, or the tool itself when it named none.
const CLI::App& Selected(const CLI::App& tool) {
    const std::vector<CLI::App*> selected = tool.get_subcommands();
    return selected.empty() ? tool : *selected.front();
}

// " (did you mean 'NAME'?)" for a word close to one of `known`; empty
// when none is.
std::string Suggestion(const std::string& word, const std::vector<std::string>& known) {
    const std::string nearest = NearestName(word, known);
    return nearest.empty() ? std::string() : " (did you mean '" + nearest + "'?)";
}

// The option a mistyped one most likely meant, compared without its dashes
// (or any "=VALUE") so that every long option does not share the prefix "--".
std::string OptionSuggestion(const CLI::App& where, const std::string& word) {
    std::vector<std::string> names;
    for (const CLI::Option* option : where.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            names.push_back(name);
        }
    }
    const std::size_t start = word.find_first_not_of('-');
    const std::string bare = word.substr(start, word.find('=') - start);
    const std::string nearest = NearestName(bare, names);
    return nearest.empty() ? std::string() : " (did you mean '--" + nearest + "'?)";
}

std::string UnknownCommand(const CLI::App& tool, const std::string& word) {
    std::vector<std::string> names;
    for (const CLI::App* command : tool.get_subcommands({})) {
        names.push_back(command->get_name());
    }
    return "unknown command '" + word + "'" + Suggestion(word, names);
}

// One mistake gets one message, whichever command it is made with: an
// unknown option is named as such even where the parser would first miss
// an operand, and words left over are named the same way everywhere.
int ParseFailure(const CLI::App& tool, const CLI::ParseError& error) {
    const CLI::App& where = Selected(tool);
    const std::vector<std::string> left = where.remaining();
    for (const std::string& word : left) {
        if (word.size() > 1 && word[0] == '-') {
            return UsageError(where,
                              "unknown option '" + word + "'" + OptionSuggestion(where, word));
        }
    }
    if (left.empty() || error.get_exit_code() != static_cast<int>(CLI::ExitCodes::ExtrasError)) {
        return UsageError(where, OurWording(error.what()));
    }
    return UsageError(where, &where == &tool ? UnknownCommand(tool, left.front())
                                             : "unexpected argument '" + left.front() + "'");
}

// Quiet leaves out what people would read on stdout, and only that: a
// --json answer is what the caller asked for, and stderr keeps warnings
// and errors. Output is dropped where it is written, so every command's
// summary and progress go alike.
void SilenceStdout() {
    (void)std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        (void)::dup2(null, STDOUT_FILENO);
        (void)::close(null);
    }
}

bool AskedForJson(const CLI::App& command) {
    const CLI::Option* json = command.get_option_no_throw("--json");
    return json != nullptr && json->count() > 0;
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
        return UsageError(*command.app, OurWording(e.what()));
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
    bool quiet = false;
    std::vector<Command> commands;
    for (const auto add : kCommands) {
        commands.push_back(add(tool));
        commands.back().app->add_flag(
            "-q,--quiet", quiet,
            "print nothing on stdout (with --json, only the JSON); the exit status tells");
    }
    const int parsed = Parse(tool, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    for (const Command& command : commands) {
        if (command.app->parsed()) {
            if (quiet && !AskedForJson(*command.app)) {
                SilenceStdout();
            }
            return RunCommand(command);
        }
    }
    return UsageError(tool, "no command given");
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
