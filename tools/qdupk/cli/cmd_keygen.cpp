// qdupk keygen NAME
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
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
    "\n"
    "Exit status: 0 both files written; 1 refused (a file exists) or failed,\n"
    "nothing left behind; 2 usage.\n";

int RunKeygen(const std::string& name) {
    const KeyFiles files = GenerateKeyFiles(name);
    std::printf("wrote %s (private, keep it secret) and %s (public), key id %s\n",
                files.privatePath.c_str(), files.publicPath.c_str(),
                qd::HexString(files.keyId).c_str());
    return kExitOk;
}

}  // namespace

Command AddKeygen(CLI::App& tool) {
    auto name = std::make_shared<std::string>();
    CLI::App* command = tool.add_subcommand(kName, "make a signing key pair for sealed packages");
    command->add_option("NAME", *name, "write NAME.key and NAME.pub")->required();
    command->footer(kKeygenDetails);
    return {command, [name] { return RunKeygen(*name); }};
}

}  // namespace qdupk
