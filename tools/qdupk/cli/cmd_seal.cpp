// qdupk seal PKG --key NAME.key [--counter N] [-o OUT]
#include <cstdio>
#include <memory>
#include <optional>

#include "atomic_file.h"
#include "command_line.h"
#include "commands.h"
#include "keys.h"
#include "package_writer.h"
#include "seal_writer.h"

namespace qdupk {

namespace {

constexpr char kName[] = "seal";

const char kSealDetails[] =
    "Signs an existing package, replacing any seal it has; for packages made\n"
    "elsewhere or to re-sign with a new key. The package must verify first:\n"
    "a damaged package, or one whose seal no longer matches it, is never\n"
    "signed, and bytes after the end record that are not a seal are refused\n"
    "rather than dropped. Without --counter a seal keeps its counter.\n"
    "The output replaces OUT (default: PKG) whole or not at all.\n"
    "\n"
    "Exit status: 0 sealed; 1 refused (no such package, a damaged one, an\n"
    "unreadable key) or failed, OUT unchanged; 2 usage.\n";

struct SealArgs {
    std::string package;
    std::string keyPath;
    std::optional<std::uint64_t> counter;
    std::string output;
};

int RunSeal(const SealArgs& args) {
    const std::string& output = args.output.empty() ? args.package : args.output;
    const SigningKey key = ReadPrivateKey(args.keyPath);
    const SealedFile sealed = SealPackageFile(args.package, output, key, args.counter);
    std::printf("%s: %s (was %s)\n", output.c_str(), SealSummary(sealed.after).c_str(),
                SealSummary(sealed.before).c_str());
    return kExitOk;
}

}  // namespace

Command AddSeal(CLI::App& tool) {
    auto args = std::make_shared<SealArgs>();
    CLI::App* command = tool.add_subcommand(kName, "sign an existing package");
    command->add_option("PKG", args->package, "the package to seal")->required();
    command->add_option("--key", args->keyPath, "the private key to sign with")
        ->required()
        ->type_name("NAME.key");
    AddCounter(*command, "--counter", args->counter,
               "the seal's anti-rollback counter (default: the one the package's seal has, else "
               "0)");
    command->add_option("-o,--output", args->output, "write the sealed package here, not over PKG")
        ->type_name("OUT.upg");
    command->footer(kSealDetails);
    return {command, [args] { return RunSeal(*args); }};
}

}  // namespace qdupk
