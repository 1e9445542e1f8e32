// Subcommands of qdupk. Each takes the arguments after its own name and
// returns the process exit status: 0 success, 1 refused or failed, 2 usage;
// search and upload add codes of their own from 3 on (see their usage).
#ifndef QDUPK_TOOL_COMMANDS_H
#define QDUPK_TOOL_COMMANDS_H

#include <string>
#include <vector>

namespace qdupk {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* summary;
    const char* usage;  // full usage text of the subcommand
    int (*run)(const Args& args);
};

int RunPack(const Args& args);
int RunInfo(const Args& args);
int RunVerify(const Args& args);
int RunSearch(const Args& args);
int RunUpload(const Args& args);

extern const char kPackUsage[];
extern const char kInfoUsage[];
extern const char kVerifyUsage[];
extern const char kSearchUsage[];
extern const char kUploadUsage[];

// Shared by the subcommands: usage on --help, "qdupk NAME: error: ..." on
// stderr otherwise.
bool WantsHelp(const Args& args);
int UsageError(const char* name, const std::string& message, const char* usage);
int Failure(const char* name, const std::string& message);

}  // namespace qdupk

#endif  // QDUPK_TOOL_COMMANDS_H
