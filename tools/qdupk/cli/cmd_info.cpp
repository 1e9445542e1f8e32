// qdupk info PKG [--json]
#include <algorithm>
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "item_types.h"
#include "json_line.h"
#include "package_json.h"
#include "package_reader.h"
#include "power_cut_notes.h"
#include "printable.h"
#include "qd_hex.h"

namespace qdupk {

namespace {

constexpr char kName[] = "info";

const char kInfoDetails[] =
    "Prints the package head and a table of its items. The whole package is\n"
    "checked first (records, digests and seal); a damaged package is refused.\n"
    "The seal line says whether it is signed (and by which key id) and its\n"
    "counter; no signature is checked here (see verify --pubkey). The identity\n"
    "is what cameras record and report for the package: the first 16 hex\n"
    "digits of the SHA-256 of every byte before the seal (the same for the\n"
    "package before and after sealing). Notes below the table name items a\n"
    "power cut makes dangerous.\n"
    "Items are numbered from 1, as the manifest's [item1], [item2], ...\n"
    "With --json: one JSON object on one line, texts as stored; each item\n"
    "has its \"number\" and its \"index\" as stored (from 0).\n"
    "\n"
    "Exit status: 0 shown; 1 no such file, not a package file, or a damaged\n"
    "package (a broken seal included); 2 usage.\n";

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : Printable(text);
}

void PrintItems(const PackageInfo& info) {
    std::size_t destWidth = 11;
    for (const ItemInfo& item : info.items) {
        destWidth = std::max(destWidth, OrDash(item.destination).size());
    }
    const int dw = static_cast<int>(destWidth);
    std::printf("%-5s  %-8s  %10s  %-32s  %-*s  %-6s  %s\n", "Item", "Type", "Size", "MD5", dw,
                "Destination", "Reboot", "Description");
    for (const ItemInfo& item : info.items) {
        std::printf("%-5lld  %-8s  %10d  %-32s  %-*s  %-6d  %s\n",
                    static_cast<long long>(ItemNumber(item.index)), ItemTypeName(item.type).c_str(),
                    item.size, qd::HexString(item.md5).c_str(), dw,
                    OrDash(item.destination).c_str(), item.rebootFlag,
                    OrDash(item.description).c_str());
    }
}

struct InfoArgs {
    std::string path;
    bool json = false;
};

int RunInfo(const InfoArgs& args) {
    const PackageInfo info = ReadPackage(args.path);
    if (args.json) {
        std::printf("%s\n", JsonLine(InfoJson(info)).c_str());
        return kExitOk;
    }
    std::printf(
        "Package:  %s\nVersion:  %s\nDevice:   %s\nItems:    %zu\nSeal:     %s\nIdentity: %s\n\n",
        Printable(info.name).c_str(), Printable(info.version).c_str(),
        Printable(info.devId).c_str(), info.items.size(), SealSummary(info.seal).c_str(),
        OrDash(info.identity).c_str());
    PrintItems(info);
    for (const std::string& note : PowerCutNotes(ItemTypes(info))) {
        std::printf("\nNote: %s\n", note.c_str());
    }
    return kExitOk;
}

}  // namespace

Command AddInfo(CLI::App& tool) {
    auto args = std::make_shared<InfoArgs>();
    CLI::App* command = tool.add_subcommand(kName, "show a package's head, items and seal");
    command->add_option("PKG", args->path, "the package to show")->required();
    command->add_flag("--json", args->json, "print one JSON object instead of the table");
    command->footer(kInfoDetails);
    return {command, [args] { return RunInfo(*args); }};
}

}  // namespace qdupk
