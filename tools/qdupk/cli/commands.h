// Commands of qdupk. Each adds itself, with its options, to the tool's
// command line and hands back what runs it once the line has parsed. A run
// returns the process exit status or throws Error (errors.h).
#ifndef QDUPK_TOOL_COMMANDS_H
#define QDUPK_TOOL_COMMANDS_H

#include <functional>
#include <string>

#include "errors.h"

namespace CLI {
class App;
}  // namespace CLI

namespace qdupk {

struct Command {
    CLI::App* app = nullptr;  // owned by the tool's App
    std::function<int()> run;
};

Command AddKeygen(CLI::App& tool);
Command AddPack(CLI::App& tool);
Command AddSeal(CLI::App& tool);
Command AddInfo(CLI::App& tool);
Command AddVerify(CLI::App& tool);
Command AddSearch(CLI::App& tool);
Command AddStatus(CLI::App& tool);
Command AddUpload(CLI::App& tool);
Command AddRollout(CLI::App& tool);
// Only where qdupk is built with the console (QDUPK_WITH_CONSOLE).
Command AddConsole(CLI::App& tool);

// "qdupk NAME: error: MESSAGE" on stderr; the failure exit status.
int Failure(const char* name, const std::string& message);
// "qdupk NAME: warning: MESSAGE" on stderr.
void Warning(const char* name, const std::string& message);

}  // namespace qdupk

#endif  // QDUPK_TOOL_COMMANDS_H
