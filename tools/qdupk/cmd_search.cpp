// qdupk search [--timeout S] [--interface IFNAME|ADDR] [--json]
#include <cstdio>

#include "commands.h"
#include "search_socket.h"

namespace qdupk {

const char kSearchUsage[] =
    "usage: qdupk search [--timeout S] [--interface IFNAME|ADDR] [--json]\n"
    "\n"
    "Finds cameras on the local network: sends a search to the multicast group\n"
    "234.200.200.1 (UDP port 54362) and lists every camera that answers within\n"
    "the time-out, one line each: the address it announces and its upload port\n"
    "(and the address the answer came from, where that differs).\n"
    "\n"
    "  --timeout S    seconds to collect answers (default 3)\n"
    "  --interface IFNAME|ADDR\n"
    "                 search on this interface, named or given by one of its IPv4\n"
    "                 addresses (default: where the route to the group leads)\n"
    "  --json         print a JSON array of {address, port, source} objects\n"
    "\n"
    "Exit status: 0 at least one camera found, 3 none answered, 1 error (no\n"
    "such interface, socket or send failure), 2 usage.\n";

namespace {

constexpr char kName[] = "search";
constexpr int kExitNoneFound = 3;

struct SearchArgs {
    std::string interface;
    Millis timeout{3000};
    bool json = false;
};

std::string ParseSearchArgs(const Args& args, SearchArgs& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--json") {
            out.json = true;
        } else if (arg == "--timeout") {
            const std::optional<Millis> timeout = hasValue ? ParseSeconds(args[++i]) : std::nullopt;
            if (!timeout) {
                return "--timeout needs a number of seconds above 0";
            }
            out.timeout = *timeout;
        } else if (arg == "--interface") {
            if (!hasValue || args[i + 1].empty()) {
                return "--interface needs an interface name or address";
            }
            out.interface = args[++i];
        } else {
            return "unexpected argument " + arg;
        }
    }
    return std::string();
}

}  // namespace

int RunSearch(const Args& args) {
    if (WantsHelp(args)) {
        (void)std::fputs(kSearchUsage, stdout);
        return kExitOk;
    }
    SearchArgs parsed;
    const std::string error = ParseSearchArgs(args, parsed);
    if (!error.empty()) {
        return UsageError(kName, error, kSearchUsage);
    }
    CameraList cameras;
    try {
        SearchOptions options;
        options.timeout = parsed.timeout;
        options.nonce = RandomNonce();
        if (!parsed.interface.empty()) {
            options.iface = ResolveInterface(parsed.interface);
        }
        cameras = SearchCameras(options);
    } catch (const NetError& e) {
        return Failure(kName, e.what());
    }
    const std::vector<CameraReply>& found = cameras.cameras();
    if (parsed.json) {
        (void)std::fputs(FormatJson(found).c_str(), stdout);
    } else if (!found.empty()) {
        (void)std::fputs(FormatTable(found).c_str(), stdout);
    }
    if (found.empty()) {
        (void)std::fprintf(stderr, "qdupk search: no camera answered within %.1f s\n",
                           static_cast<double>(parsed.timeout.count()) / 1000.0);
        return kExitNoneFound;
    }
    return kExitOk;
}

}  // namespace qdupk
