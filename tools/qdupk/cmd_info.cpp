// qdupk info PKG
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "item_types.h"
#include "package_reader.h"
#include "printable.h"

namespace qdupk {

const char kInfoUsage[] =
    "usage: qdupk info PKG\n"
    "\n"
    "Prints the package head and a table of its items. The whole package is\n"
    "checked first (records and digests); a damaged package is refused.\n";

namespace {

constexpr char kName[] = "info";

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : Printable(text);
}

void PrintItems(const PackageInfo& info) {
    std::size_t destWidth = 11;
    for (const ItemInfo& item : info.items) {
        destWidth = std::max(destWidth, OrDash(item.destination).size());
    }
    const int dw = static_cast<int>(destWidth);
    std::printf("%-5s  %-8s  %10s  %-32s  %-*s  %-6s  %s\n", "Index", "Type", "Size", "MD5", dw,
                "Destination", "Reboot", "Description");
    for (const ItemInfo& item : info.items) {
        std::printf("%-5d  %-8s  %10d  %-32s  %-*s  %-6d  %s\n", item.index,
                    ItemTypeName(item.type).c_str(), item.size, Md5Hex(item.md5).c_str(), dw,
                    OrDash(item.destination).c_str(), item.rebootFlag,
                    OrDash(item.description).c_str());
    }
}

}  // namespace

int RunInfo(const Args& args) {
    if (WantsHelp(args)) {
        (void)std::fputs(kInfoUsage, stdout);
        return kExitOk;
    }
    if (args.size() != 1 || (!args[0].empty() && args[0][0] == '-')) {
        return UsageError(kName, args.empty() ? "no package given" : "expected one package",
                          kInfoUsage);
    }
    PackageInfo info;
    try {
        info = ReadPackage(args[0]);
    } catch (const PackageError& e) {
        return Failure(kName, args[0] + ": damaged package: " + e.what());
    }
    std::printf("Package:  %s\nVersion:  %s\nDevice:   %s\nItems:    %zu\n\n",
                Printable(info.name).c_str(), Printable(info.version).c_str(),
                Printable(info.devId).c_str(), info.items.size());
    PrintItems(info);
    return kExitOk;
}

}  // namespace qdupk
