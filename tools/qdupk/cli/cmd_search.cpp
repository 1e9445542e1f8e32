// qdupk search [--timeout S] [--interface IFNAME|ADDR] [--max-answers N] [--status] [--json]
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "search_socket.h"
#include "status_client.h"
#include "status_view.h"

namespace qdupk {

namespace {

constexpr char kName[] = "search";
constexpr int kExitNoneFound = 3;

const char kSearchDetails[] =
    "Finds cameras on the local network: sends a search to the multicast group\n"
    "234.200.200.1 (UDP port 54362) and lists every camera that answers within\n"
    "the time-out, one line each: the address the answer came from, its upload\n"
    "port, and the address the camera announces where that differs (a camera\n"
    "without an address announces a fallback one). Answers from this PC's own,\n"
    "loopback, unspecified, broadcast or multicast addresses are ignored, and\n"
    "only the first --max-answers cameras (default 1024) are kept; a warning\n"
    "says how many answers were ignored or dropped. --status then asks each\n"
    "camera found for its status (unicast, see 'qdupk status') and adds its\n"
    "daemon version and boot journal state; a camera that does not answer that\n"
    "shows \"no status (older camera)\".\n"
    "\n"
    "Exit status: 0 at least one camera found, 3 none answered, 1 error (no\n"
    "such interface, socket or send failure), 2 usage.\n";

struct SearchArgs {
    std::string interface;
    Millis timeout{3000};
    std::size_t maxAnswers = kDefaultMaxAnswers;
    bool status = false;
    bool json = false;
};

SearchResult Search(const SearchArgs& args) {
    SearchOptions options;
    options.timeout = args.timeout;
    options.nonce = RandomNonce();
    options.maxAnswers = args.maxAnswers;
    if (!args.interface.empty()) {
        options.iface = ResolveInterface(args.interface);
    }
    return SearchCameras(options);
}

void PrintWithStatus(const SearchArgs& args, const std::vector<CameraReply>& found) {
    std::vector<std::string> addresses;
    addresses.reserve(found.size());
    for (const CameraReply& camera : found) {
        addresses.push_back(camera.address);
    }
    StatusClient client;
    const auto reports = AskEach(client, addresses);
    if (args.json) {
        (void)std::fputs(FormatSearchStatusJson(found, reports).c_str(), stdout);
    } else if (!found.empty()) {
        (void)std::fputs(FormatSearchStatusTable(found, reports).c_str(), stdout);
    }
}

int RunSearch(const SearchArgs& args) {
    const SearchResult result = Search(args);
    for (const std::string& line : SearchWarnings(result)) {
        Warning(kName, line);
    }
    const std::vector<CameraReply>& found = result.cameras.cameras();
    if (args.status) {
        PrintWithStatus(args, found);
    } else if (args.json) {
        (void)std::fputs(FormatJson(found).c_str(), stdout);
    } else if (!found.empty()) {
        (void)std::fputs(FormatTable(found).c_str(), stdout);
    }
    if (found.empty()) {
        (void)std::fprintf(stderr, "qdupk search: no camera answered within %.1f s\n",
                           static_cast<double>(args.timeout.count()) / 1000.0);
        return kExitNoneFound;
    }
    return kExitOk;
}

}  // namespace

Command AddSearch(CLI::App& tool) {
    auto args = std::make_shared<SearchArgs>();
    CLI::App* command = tool.add_subcommand(kName, "find cameras on the local network");
    AddSeconds(*command, "--timeout", args->timeout, "seconds to collect answers (default 3)");
    command
        ->add_option("--interface", args->interface,
                     "search on this interface, named or given by one of its IPv4 addresses "
                     "(default: where the route to the group leads)")
        ->type_name("IFNAME|ADDR")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text.empty() ? "needs an interface name or address" : std::string();
            },
            ""));
    AddMaxAnswers(*command, args->maxAnswers);
    command->add_flag("--status", args->status,
                      "ask each camera found for its status: adds version and state");
    command->add_flag(
        "--json", args->json,
        "print a JSON array of {address, announced, port} objects (with --status: version, state)");
    command->footer(kSearchDetails);
    return {command, [args] { return RunSearch(*args); }};
}

}  // namespace qdupk
