// qdupk search [--timeout S] [--interface IFNAME|ADDR] [--max-answers N] [--status]
//              [--json | --format table|targets]
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "rollout_targets.h"
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
    "the time-out, in address order, one line each under a header: the address\n"
    "the answer came from, its upload port, and the address the camera\n"
    "announces where any camera's differs (a camera without an address\n"
    "announces a fallback one). --format targets prints HOST:PORT lines\n"
    "instead, without a header, ready for 'qdupk rollout --targets FILE'.\n"
    "Answers from this PC's own, loopback, unspecified, broadcast or multicast\n"
    "addresses are ignored, and only the first --max-answers cameras (default\n"
    "1024) are kept; a warning says how many answers were ignored or\n"
    "dropped. --status then asks each\n"
    "camera found for its status (unicast, see 'qdupk status') and adds its\n"
    "daemon version and boot journal state; a camera that does not answer that\n"
    "shows \"no status (older camera)\".\n"
    "With --json: one JSON array on one line, in the same order, of objects\n"
    "with \"address\", \"announced\", \"port\" and \"source\" (the same as\n"
    "\"address\"); --status adds \"version\" and \"state\" (null without a\n"
    "status). The manual page gives the output in full.\n"
    "\n"
    "Exit status: 0 at least one camera found, 3 none answered, 1 error (no\n"
    "such interface, socket or send failure), 2 usage.\n";

struct SearchArgs {
    std::string interface;
    Millis timeout{3000};
    std::size_t maxAnswers = kDefaultMaxAnswers;
    bool status = false;
    bool json = false;
    bool targets = false;  // --format targets
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

void PrintTargets(const std::vector<CameraReply>& found) {
    for (const CameraReply& camera : found) {
        std::printf("%s\n", TargetName(HostPort{camera.address, camera.port}).c_str());
    }
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
    const std::vector<CameraReply> found = ByAddress(result.cameras.cameras());
    if (args.targets) {
        PrintTargets(found);
    } else if (args.status) {
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
    CLI::Option* status = command->add_flag(
        "--status", args->status, "ask each camera found for its status: adds version and state");
    CLI::Option* json = command->add_flag(
        "--json", args->json,
        "print a JSON array of {address, announced, port, source} objects (with --status: "
        "version, state)");
    command
        ->add_option_function<std::string>(
            "--format", [args](const std::string& format) { args->targets = format == "targets"; },
            "table (default) or targets: HOST:PORT lines for rollout --targets")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text == "table" || text == "targets" ? std::string()
                                                            : "needs table or targets, not " + text;
            },
            ""))
        ->type_name("FORM")
        ->excludes(json)
        ->excludes(status);
    command->footer(kSearchDetails);
    return {command, [args] { return RunSearch(*args); }};
}

}  // namespace qdupk
