// qdupk keygen NAME [--json]
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "command_line.h"
#include "commands.h"
#include "json_line.h"
#include "keys.h"
#include "qd_hex.h"

namespace qdupk {

namespace {

constexpr char kName[] = "keygen";

const char kKeygenDetails[] =
    "Writes NAME.key, the private Ed25519 seed as 64 hex digits (mode 0600),\n"
    "and NAME.pub, the public key as 64 hex digits: the value for key1= or\n"
    "key2= in the camera's [seal] section. Existing files are never replaced.\n"
    "Keep NAME.key off the cameras and out of version control: whoever holds\n"
    "it can sign packages every camera holding NAME.pub installs.\n"
    "NAME is given without .key or .pub and must not be empty or end in /.\n"
    "With --json: {\"private_key\", \"public_key\", \"key_id\"} on one line.\n"
    "\n"
    "Exit status: 0 both files written; 1 refused (a file exists) or failed,\n"
    "nothing left behind; 2 usage.\n";

struct KeygenArgs {
    std::string name;
    bool json = false;
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "release.key" would give release.key.key: the name is the pair's, not a
// file's.
std::string NameProblem(const std::string& name) {
    if (name.empty() || EndsWith(name, "/")) {
        return "needs a name for the pair, such as 'release' for release.key and release.pub";
    }
    for (const char* end : {".key", ".pub"}) {
        if (EndsWith(name, end)) {
            std::string text = "needs the pair's name without ";
            text.append(end).append(": '").append(name).append("' would write ");
            text.append(name).append(".key and ").append(name).append(".pub; give '");
            return text.append(name, 0, name.size() - 4).append("'");
        }
    }
    return std::string();
}

int RunKeygen(const KeygenArgs& args) {
    const KeyFiles files = GenerateKeyFiles(args.name);
    if (args.json) {
        const nlohmann::json json = {{"private_key", files.privatePath},
                                     {"public_key", files.publicPath},
                                     {"key_id", qd::HexString(files.keyId)}};
        std::printf("%s\n", JsonLine(json).c_str());
        return kExitOk;
    }
    std::printf("wrote %s (private, keep it secret) and %s (public), key id %s\n",
                files.privatePath.c_str(), files.publicPath.c_str(),
                qd::HexString(files.keyId).c_str());
    return kExitOk;
}

}  // namespace

Command AddKeygen(CLI::App& tool) {
    auto args = std::make_shared<KeygenArgs>();
    CLI::App* command = tool.add_subcommand(kName, "make a signing key pair for sealed packages");
    command->add_option("NAME", args->name, "write NAME.key and NAME.pub")
        ->required()
        ->check(CLI::Validator(NameProblem, ""));
    command->add_flag("--json", args->json, "print the file paths and key id as one JSON object");
    command->footer(kKeygenDetails);
    return {command, [args] { return RunKeygen(*args); }};
}

}  // namespace qdupk
