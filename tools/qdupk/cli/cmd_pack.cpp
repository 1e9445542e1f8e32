// qdupk pack MANIFEST -o OUT.upg [--force] [--key NAME.key] [--counter N] [--json]
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "atomic_file.h"
#include "command_line.h"
#include "commands.h"
#include "json_line.h"
#include "keys.h"
#include "manifest.h"
#include "package_json.h"
#include "package_reader.h"
#include "package_writer.h"
#include "power_cut_notes.h"

namespace qdupk {

namespace {

constexpr char kName[] = "pack";

const char kPackDetails[] =
    "Builds a package from an INI manifest. Sections:\n"
    "  [package]  name=, version=, devid= (devid QUNDAR suits every device)\n"
    "  [item1], [item2], ...  numbered from 1 without gaps:\n"
    "      type=    kernel, rootfs, uboot, script, app, file, webpage, mcu,\n"
    "               facemcu, audioapp, or the type's number\n"
    "      source=  data file, relative to the manifest's directory\n"
    "      dest=    absolute destination path on the device (optional; for\n"
    "               kernel, rootfs and uboot only a temporary file: warned)\n"
    "      devid=, desc=  item device id and description (optional)\n"
    "      reboot=  1/0, yes/no, true/false or on/off (default no); kept in\n"
    "               the package only: the camera reboots after every upgrade\n"
    "Texts hold at most 127 characters; sources must be non-empty files.\n"
    "Blanks around keys and values do not count. Comments go on lines of\n"
    "their own: a value with \" ;\" or \" #\" in it is refused (in desc, kept\n"
    "and warned). An unknown section or key, one given twice, a gap in the\n"
    "item numbers or a relative dest is refused.\n"
    "The same inputs always give the same bytes (identifier fields are zero,\n"
    "format version 1). A failed pack leaves no output file. An existing\n"
    "OUT.upg is replaced only with --force, and then whole or not at all.\n"
    "Every package ends in a seal: the SHA-256 of all its bytes and, with\n"
    "--key, an Ed25519 signature that cameras configured with the public key\n"
    "require. Without --key the seal is unsigned: it shows damage, but anyone\n"
    "could have written it.\n"
    "With --json: info's JSON object of the written package on one line.\n"
    "\n"
    "Exit status: 0 packed; 1 refused (manifest, source, key or output) or\n"
    "failed, nothing written; 2 usage.\n";

struct PackArgs {
    std::string manifest;
    std::string output;
    std::string keyPath;
    std::optional<std::uint64_t> counter;
    bool force = false;
    bool json = false;
};

// Checked before any work; the write itself refuses a file that appears
// meanwhile.
void CheckOutput(const PackArgs& args) {
    struct stat st {};
    if (::lstat(args.output.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        throw Error(args.output + " is a directory");
    }
    if (!args.force) {
        throw Error(args.output + " already exists (--force replaces it)");
    }
}

void Pack(const PackArgs& args, const SigningKey* key) {
    CheckOutput(args);
    std::vector<std::string> warnings;
    const PackagePlan plan = ReadManifest(args.manifest, &warnings);
    for (const std::string& warning : warnings) {
        Warning(kName, warning);
    }
    std::vector<std::int32_t> types;
    for (const ItemPlan& item : plan.items) {
        types.push_back(item.type);
    }
    for (const std::string& note : PowerCutNotes(types)) {
        Warning(kName, note);
    }
    SealInfo seal;
    seal.state = key != nullptr ? SealState::kSigned : SealState::kUnsigned;
    seal.counter = args.counter.value_or(0);
    if (key != nullptr) {
        seal.keyId = key->keyId();
    }
    WritePackageFile(plan, args.output, SealOpts{key, seal.counter}, args.force);
    if (args.json) {
        std::printf("%s\n", JsonLine(InfoJson(ReadPackage(args.output))).c_str());
        return;
    }
    std::printf("packed %zu item(s) into %s, %s\n", plan.items.size(), args.output.c_str(),
                SealSummary(seal).c_str());
}

int RunPack(const PackArgs& args) {
    if (args.keyPath.empty()) {
        Pack(args, nullptr);
    } else {
        const SigningKey key = ReadPrivateKey(args.keyPath);
        Pack(args, &key);
    }
    return kExitOk;
}

}  // namespace

Command AddPack(CLI::App& tool) {
    auto args = std::make_shared<PackArgs>();
    CLI::App* command = tool.add_subcommand(kName, "build a package from a manifest");
    command->add_option("MANIFEST", args->manifest, "the manifest to build from")->required();
    command->add_option("-o,--output", args->output, "the package to write")
        ->required()
        ->type_name("OUT.upg");
    command->add_flag("--force", args->force, "replace OUT.upg if it exists");
    command->add_option("--key", args->keyPath, "sign the package with this private key")
        ->type_name("NAME.key");
    AddCounter(*command, "--counter", args->counter, kCounterHelp);
    command->add_flag("--json", args->json,
                      "print the written package as info --json does instead of the summary");
    command->footer(kPackDetails);
    return {command, [args] { return RunPack(*args); }};
}

}  // namespace qdupk
