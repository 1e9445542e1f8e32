// qdupk status [HOST[:PORT]...] [--search] [--timeout S] [--interface IFNAME|ADDR] [--json]
#include <netdb.h>

#include <arpa/inet.h>

#include <algorithm>
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

constexpr char kName[] = "status";
constexpr int kExitSomeSilent = 3;

const char kStatusDetails[] =
    "Asks each camera how it is, with a status query sent by unicast to its UDP\n"
    "port 54362 (a PORT given with a host is the upload port and is ignored), and\n"
    "prints one line per camera: address, daemon version, boot journal state\n"
    "(with \"(recovery)\" when it runs its recovery system), running slot, the\n"
    "last installed package (name, version, identity), seal counter, up time and\n"
    "the last upload's result since it started. A camera set to basic detail\n"
    "leaves package, counter and last result out (\"-\"). With --search the\n"
    "cameras that answer a search are asked too; one that answers the search\n"
    "but not the status query shows \"no status (older camera)\"; a named\n"
    "camera that stays silent shows \"did not answer\". Silent cameras are\n"
    "asked three times within the time-out.\n"
    "\n"
    "Exit status: 0 every camera gave its status; 3 some camera gave none (or\n"
    "the search found none); 1 error (no such interface, socket or send\n"
    "failure); 2 usage.\n";

struct StatusArgs {
    std::vector<std::string> hosts;
    bool search = false;
    std::string interface;
    Millis timeout{3000};
    bool json = false;
};

// "HOST" or "HOST:PORT"; the port only has to be one.
std::optional<std::string> HostOf(const std::string& text) {
    if (text.find(':') == std::string::npos) {
        return text.empty() ? std::nullopt : std::optional<std::string>(text);
    }
    const std::optional<HostPort> parsed = ParseHostPort(text);
    return parsed ? std::optional<std::string>(parsed->host) : std::nullopt;
}

CameraStatus Listed(const std::string& host) {
    int error = 0;
    const std::optional<in_addr> address = FirstIpv4(host, error);
    if (!address) {
        return {host, std::nullopt, std::string("no such host: ") + gai_strerror(error)};
    }
    char text[INET_ADDRSTRLEN] = "";
    (void)inet_ntop(AF_INET, &*address, text, sizeof text);
    return {text, std::nullopt, "did not answer"};
}

std::vector<CameraStatus> Found(const StatusArgs& args) {
    SearchOptions options;
    options.timeout = args.timeout;
    options.nonce = RandomNonce();
    if (!args.interface.empty()) {
        options.iface = ResolveInterface(args.interface);
    }
    const SearchResult result = SearchCameras(options);
    for (const std::string& line : SearchWarnings(result)) {
        Warning(kName, line);
    }
    std::vector<HostPort> found;
    for (const CameraReply& camera : result.cameras.cameras()) {
        found.push_back({camera.address, camera.port});
    }
    SortByAddress(found);
    std::vector<CameraStatus> cameras;
    cameras.reserve(found.size());
    for (const HostPort& camera : found) {
        cameras.push_back({camera.host, std::nullopt, "no status (older camera)"});
    }
    return cameras;
}

void AddOnce(std::vector<CameraStatus>& cameras, const CameraStatus& camera) {
    const bool known = std::any_of(cameras.begin(), cameras.end(),
                                   [&](const auto& c) { return c.address == camera.address; });
    if (!known) {
        cameras.push_back(camera);
    }
}

// Named cameras first, in their order, then those found; each address once.
std::vector<CameraStatus> Cameras(const StatusArgs& args) {
    std::vector<CameraStatus> cameras;
    for (const std::string& text : args.hosts) {
        AddOnce(cameras, Listed(*HostOf(text)));
    }
    if (args.search) {
        for (const CameraStatus& camera : Found(args)) {
            AddOnce(cameras, camera);
        }
    }
    return cameras;
}

void Ask(std::vector<CameraStatus>& cameras, Millis timeout) {
    std::vector<std::string> addresses;
    for (const CameraStatus& camera : cameras) {
        const bool resolved = camera.missing.rfind("no such host", 0) != 0;
        addresses.push_back(resolved ? camera.address : std::string());
    }
    StatusClient client;
    const auto reports = AskEach(client, addresses, timeout);
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (reports[i]) {
            cameras[i].report = reports[i];
            cameras[i].missing.clear();
        }
    }
}

int Print(const StatusArgs& args, const std::vector<CameraStatus>& cameras) {
    if (args.json) {
        (void)std::fputs(FormatStatusJson(cameras).c_str(), stdout);
    } else if (!cameras.empty()) {
        (void)std::fputs(FormatStatusTable(cameras).c_str(), stdout);
    }
    if (cameras.empty()) {
        (void)std::fprintf(stderr, "qdupk status: no camera answered the search within %s\n",
                           FormatSeconds(args.timeout).c_str());
        return kExitSomeSilent;
    }
    const bool all = std::all_of(cameras.begin(), cameras.end(),
                                 [](const CameraStatus& c) { return c.report.has_value(); });
    return all ? kExitOk : kExitSomeSilent;
}

int RunStatus(const StatusArgs& args) {
    if (args.hosts.empty() && !args.search) {
        throw CLI::ValidationError("HOST", "name cameras or give --search");
    }
    std::vector<CameraStatus> cameras = Cameras(args);
    Ask(cameras, args.timeout);
    return Print(args, cameras);
}

CLI::Validator HostCheck() {
    return CLI::Validator(
        [](const std::string& text) {
            return HostOf(text)
                       ? std::string()
                       : "needs HOST or HOST:PORT with a port from 1 to 65535, not " + text;
        },
        "");
}

}  // namespace

Command AddStatus(CLI::App& tool) {
    auto args = std::make_shared<StatusArgs>();
    CLI::App* command = tool.add_subcommand(kName, "ask cameras which firmware they run and how");
    command->add_option("HOST", args->hosts, "cameras as HOST or HOST:PORT")->check(HostCheck());
    command->add_flag("--search", args->search, "ask every camera that answers a search too");
    command
        ->add_option("--interface", args->interface,
                     "search on this interface, named or given by one of its IPv4 addresses")
        ->type_name("IFNAME|ADDR");
    AddSeconds(*command, "--timeout", args->timeout,
               "seconds to wait for the search's answers, then for the status answers "
               "(default 3)");
    command->add_flag("--json", args->json, "print a JSON array, one object per camera");
    command->footer(kStatusDetails);
    return {command, [args] { return RunStatus(*args); }};
}

}  // namespace qdupk
