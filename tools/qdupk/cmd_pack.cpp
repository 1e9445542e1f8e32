// qdupk pack MANIFEST -o OUT.upg
#include <cstdio>

#include "commands.h"
#include "manifest.h"
#include "package_writer.h"

namespace qdupk {

const char kPackUsage[] =
    "usage: qdupk pack MANIFEST -o OUT.upg\n"
    "\n"
    "Builds a package from an INI manifest. Sections:\n"
    "  [package]  name=, version=, devid= (devid QUNDAR suits every device)\n"
    "  [item1], [item2], ...  read in order up to the first missing number:\n"
    "      type=    kernel, rootfs, uboot, script, app, file, webpage, mcu,\n"
    "               facemcu, audioapp, or the type's number\n"
    "      source=  data file, relative to the manifest's directory\n"
    "      dest=    destination path on the device (optional)\n"
    "      devid=, desc=  item device id and description (optional)\n"
    "      reboot=  0 or 1 (default 0)\n"
    "Texts hold at most 127 characters; sources must be non-empty files.\n"
    "The same inputs always give the same bytes (identifier fields are zero,\n"
    "format version 1). A failed pack leaves no output file.\n";

namespace {

constexpr char kName[] = "pack";

struct PackArgs {
    std::string manifest;
    std::string output;
};

// Empty error text on success.
std::string ParsePackArgs(const Args& args, PackArgs& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 == args.size()) {
                return arg + " needs a file name";
            }
            out.output = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (out.manifest.empty()) {
            out.manifest = arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    if (out.manifest.empty()) {
        return "no manifest given";
    }
    return out.output.empty() ? "no output file given (-o OUT.upg)" : std::string();
}

}  // namespace

int RunPack(const Args& args) {
    if (WantsHelp(args)) {
        (void)std::fputs(kPackUsage, stdout);
        return kExitOk;
    }
    PackArgs parsed;
    const std::string error = ParsePackArgs(args, parsed);
    if (!error.empty()) {
        return UsageError(kName, error, kPackUsage);
    }
    try {
        const PackagePlan plan = ReadManifest(parsed.manifest);
        WritePackageFile(plan, parsed.output);
        std::printf("packed %zu item(s) into %s\n", plan.items.size(), parsed.output.c_str());
    } catch (const PackError& e) {
        return Failure(kName, e.what());
    }
    return kExitOk;
}

}  // namespace qdupk
