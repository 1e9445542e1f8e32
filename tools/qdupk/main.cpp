// qdupk: builds and inspects upgrade packages on the host. Each subcommand
// lives in its own cmd_*.cpp; this file only dispatches.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>

#include "commands.h"

namespace qdupk {
namespace {

constexpr Command kCommands[] = {
    {"pack", "build a package from a manifest", kPackUsage, RunPack},
    {"info", "show a package's head and items", kInfoUsage, RunInfo},
    {"verify", "check a package as the device would, installing nothing", kVerifyUsage, RunVerify},
    {"search", "find cameras on the local network", kSearchUsage, RunSearch},
    {"upload", "send a package to a camera and wait for its verdict", kUploadUsage, RunUpload},
};

void PrintUsage(std::FILE* out) {
    (void)std::fputs("usage: qdupk COMMAND [ARGS...]\n\ncommands:\n", out);
    for (const Command& command : kCommands) {
        (void)std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
    }
    (void)std::fputs("\n'qdupk COMMAND --help' shows a command's usage.\n", out);
}

const Command* FindCommand(const char* name) {
    for (const Command& command : kCommands) {
        if (std::strcmp(command.name, name) == 0) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

bool WantsHelp(const Args& args) {
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            return true;
        }
    }
    return false;
}

int UsageError(const char* name, const std::string& message, const char* usage) {
    (void)std::fprintf(stderr, "qdupk %s: error: %s\n\n%s", name, message.c_str(), usage);
    return kExitUsage;
}

int Failure(const char* name, const std::string& message) {
    (void)std::fprintf(stderr, "qdupk %s: error: %s\n", name, message.c_str());
    return kExitFailed;
}

}  // namespace qdupk

int main(int argc, char** argv) {
    if (argc < 2) {
        qdupk::PrintUsage(stderr);
        return qdupk::kExitUsage;
    }
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        qdupk::PrintUsage(stdout);
        return qdupk::kExitOk;
    }
    const qdupk::Command* command = qdupk::FindCommand(argv[1]);
    if (command == nullptr) {
        (void)std::fprintf(stderr, "qdupk: unknown command '%s'\n\n", argv[1]);
        qdupk::PrintUsage(stderr);
        return qdupk::kExitUsage;
    }
    try {
        return command->run(qdupk::Args(argv + 2, argv + argc));
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "qdupk %s: error: %s\n", command->name, e.what());
        return qdupk::kExitFailed;
    }
}
