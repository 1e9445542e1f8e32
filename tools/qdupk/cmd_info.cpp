// qdupk info PKG
#include <algorithm>
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "item_types.h"
#include "package_reader.h"
#include "printable.h"

namespace qdupk {

namespace {

constexpr char kName[] = "info";

const char kInfoDetails[] =
    "Prints the package head and a table of its items. The whole package is\n"
    "checked first (records and digests); a damaged package is refused.\n";

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

int RunInfo(const std::string& path) {
    PackageInfo info;
    try {
        info = ReadPackage(path);
    } catch (const PackageError& e) {
        return Failure(kName, path + ": damaged package: " + e.what());
    }
    std::printf("Package:  %s\nVersion:  %s\nDevice:   %s\nItems:    %zu\n\n",
                Printable(info.name).c_str(), Printable(info.version).c_str(),
                Printable(info.devId).c_str(), info.items.size());
    PrintItems(info);
    return kExitOk;
}

}  // namespace

Command AddInfo(CLI::App& tool) {
    auto path = std::make_shared<std::string>();
    CLI::App* command = tool.add_subcommand(kName, "show a package's head and items");
    command->add_option("PKG", *path, "the package to show")->required();
    command->footer(kInfoDetails);
    return {command, [path] { return RunInfo(*path); }};
}

}  // namespace qdupk
