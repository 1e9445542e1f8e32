// qdupk verify PKG [--devid ID] [--pubkey NAME.pub ...] [--min-counter N] [--json]
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "json_line.h"
#include "keys.h"
#include "package_json.h"
#include "package_reader.h"
#include "printable.h"

namespace qdupk {

namespace {

constexpr char kName[] = "verify";

const char kVerifyDetails[] =
    "Checks the package as a device would before installing anything: head,\n"
    "every item head, every MD5 digest, end record, and the seal after it.\n"
    "A seal that is malformed or does not match the package is refused.\n"
    "With --pubkey, as a camera configured with those keys (key1=, key2=):\n"
    "only a package signed by one of them passes. With --min-counter, as a\n"
    "camera whose counter file holds N: a lower seal counter is a rollback.\n"
    "Installs nothing. The verdict goes to stdout when the package is accepted,\n"
    "to stderr otherwise. With --json: one JSON object on stdout in any case,\n"
    "info's members with \"package\", \"accepted\", \"message\" and\n"
    "\"verified_with\" added.\n"
    "\n"
    "Exit status: 0 the package would be accepted; 1 it would be refused, or\n"
    "it is no package file (no such file, a directory, empty), or a key file\n"
    "cannot be read or holds a key no camera may use (small-order or not\n"
    "canonical, such as all zeros); 2 usage.\n";

struct VerifyArgs {
    std::string package;
    std::optional<std::string> devId;
    std::vector<std::string> publicKeys;
    std::optional<std::uint64_t> minCounter;
    bool json = false;
};

int Report(const VerifyArgs& args, const VerifyResult& result) {
    const std::string signer = VerifiedWith(args.publicKeys, result);
    if (args.json) {
        std::printf("%s\n", JsonLine(VerifyJson(args.package, result, signer)).c_str());
    }
    if (result.unreadable) {
        return Failure(kName, result.message);
    }
    if (!result.accepted) {
        (void)std::fprintf(stderr, "%s: REJECTED: %s\n", args.package.c_str(),
                           Printable(result.message).c_str());
        return kExitFailed;
    }
    if (!args.json) {
        const std::string with = signer.empty() ? "" : " (verified with " + signer + ")";
        std::printf("%s: OK: %s%s\n", args.package.c_str(), Printable(result.message).c_str(),
                    Printable(with).c_str());
    }
    return kExitOk;
}

int RunVerify(const VerifyArgs& args) {
    const SealPolicy policy = PolicyFromKeyFiles(args.publicKeys, args.minCounter);
    return Report(args, VerifyPackage(args.package, args.devId, policy));
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
    command
        ->add_option("--pubkey", args->publicKeys,
                     "require a signature by this public key; repeat for each key the camera "
                     "holds")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME.pub");
    AddCounter(*command, "--min-counter", args->minCounter,
               "refuse a seal counter below N (a camera's stored counter; an unsealed package "
               "counts as 0)");
    command->add_flag("--json", args->json, "print the verdict as one JSON object");
    command->footer(kVerifyDetails);
    return {command, [args] { return RunVerify(*args); }};
}

}  // namespace qdupk
