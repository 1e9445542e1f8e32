// qdupk verify PKG [--devid ID]
#include <cstdio>
#include <optional>

#include "commands.h"
#include "package_reader.h"
#include "printable.h"

namespace qdupk {

const char kVerifyUsage[] =
    "usage: qdupk verify PKG [--devid ID]\n"
    "\n"
    "Checks the package as a device would before installing anything: head,\n"
    "every item head, every MD5 digest, end record. With --devid the package\n"
    "must also be meant for device ID (or for every device, QUNDAR); without\n"
    "it any device id is taken, as an upload does. Installs nothing.\n"
    "Exit status 0 only when the package would be accepted.\n";

namespace {

constexpr char kName[] = "verify";

struct VerifyArgs {
    std::string package;
    std::optional<std::string> devId;
};

std::string ParseVerifyArgs(const Args& args, VerifyArgs& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--devid") {
            if (i + 1 == args.size()) {
                return "--devid needs a device id";
            }
            out.devId = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (out.package.empty()) {
            out.package = arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    return out.package.empty() ? "no package given" : std::string();
}

}  // namespace

int RunVerify(const Args& args) {
    if (WantsHelp(args)) {
        (void)std::fputs(kVerifyUsage, stdout);
        return kExitOk;
    }
    VerifyArgs parsed;
    const std::string error = ParseVerifyArgs(args, parsed);
    if (!error.empty()) {
        return UsageError(kName, error, kVerifyUsage);
    }
    const VerifyResult result = VerifyPackage(parsed.package, parsed.devId);
    if (!result.accepted) {
        std::printf("%s: REJECTED: %s\n", parsed.package.c_str(),
                    Printable(result.message).c_str());
        return kExitFailed;
    }
    std::printf("%s: OK: %s\n", parsed.package.c_str(), Printable(result.message).c_str());
    return kExitOk;
}

}  // namespace qdupk
