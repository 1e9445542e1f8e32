// qdupk verify PKG [--devid ID]
#include <cstdio>
#include <memory>
#include <optional>

#include "command_line.h"
#include "commands.h"
#include "package_reader.h"
#include "printable.h"

namespace qdupk {

namespace {

constexpr char kName[] = "verify";

const char kVerifyDetails[] =
    "Checks the package as a device would before installing anything: head,\n"
    "every item head, every MD5 digest, end record. Installs nothing.\n"
    "Exit status 0 only when the package would be accepted.\n";

struct VerifyArgs {
    std::string package;
    std::optional<std::string> devId;
};

int RunVerify(const VerifyArgs& args) {
    const VerifyResult result = VerifyPackage(args.package, args.devId);
    if (!result.accepted) {
        std::printf("%s: REJECTED: %s\n", args.package.c_str(), Printable(result.message).c_str());
        return kExitFailed;
    }
    std::printf("%s: OK: %s\n", args.package.c_str(), Printable(result.message).c_str());
    return kExitOk;
}

}  // namespace

Command AddVerify(CLI::App& tool) {
    auto args = std::make_shared<VerifyArgs>();
    CLI::App* command =
        tool.add_subcommand(kName, "check a package as the device would, installing nothing");
    command->add_option("PKG", args->package, "the package to check")->required();
    command
        ->add_option_function<std::string>(
            "--devid", [args](const std::string& id) { args->devId = id; },
            "the package must also be meant for device ID (or for every device, QUNDAR); "
            "without it any device id is taken, as an upload does")
        ->type_name("ID");
    command->footer(kVerifyDetails);
    return {command, [args] { return RunVerify(*args); }};
}

}  // namespace qdupk
