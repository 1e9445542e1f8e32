#include "rollout_sources.h"

#include "printable.h"
#include "search_socket.h"

namespace qdupk {

namespace {

std::vector<HostPort> FromFile(const std::string& path) {
    const TargetList list = ReadTargetList(path);
    if (!list.errors.empty()) {
        std::string message = list.errors.front();
        for (std::size_t i = 1; i < list.errors.size(); ++i) {
            message += "\n  " + list.errors[i];
        }
        throw Error(message);
    }
    return list.targets;
}

// Uploads go where each answer came from; a different announced address is
// worth a word (a camera without an address announces a fallback one).
std::vector<HostPort> FoundTargets(const SearchResult& result, Warnings& warnings) {
    warnings.push_back(SearchWarnings(result));
    std::vector<std::string> announcedOther;
    std::vector<HostPort> found;
    for (const CameraReply& camera : result.cameras.cameras()) {
        found.push_back({camera.address, camera.port});
        if (camera.announced != camera.address) {
            announcedOther.push_back(TargetName(found.back()) + " announces " + camera.announced +
                                     "; sending to the address its answer came from");
        }
    }
    warnings.push_back(announcedOther);
    SortByAddress(found);
    return found;
}

std::vector<HostPort> FromSearch(const TargetSources& sources, Warnings& warnings) {
    SearchOptions options;
    options.timeout = sources.searchTimeout;
    options.nonce = RandomNonce();
    options.maxAnswers = sources.maxAnswers;
    if (!sources.interface.empty()) {
        options.iface = ResolveInterface(sources.interface);
    }
    return FoundTargets(SearchCameras(options), warnings);
}

std::vector<HostPort> DropRepeats(const std::vector<HostPort>& all, Warnings& warnings) {
    std::vector<Repeat> dropped;
    std::vector<HostPort> targets = WithoutRepeats(all, dropped);
    std::vector<std::string> lines;
    lines.reserve(dropped.size());
    for (const Repeat& repeat : dropped) {
        lines.push_back(Printable(repeat.name) + " reaches the same camera as " +
                        Printable(repeat.first) + "; dropped");
    }
    warnings.push_back(lines);
    if (!dropped.empty()) {
        warnings.push_back({std::to_string(dropped.size()) + " repeated target" +
                            (dropped.size() == 1 ? "" : "s") + " dropped"});
    }
    return targets;
}

}  // namespace

CollectedTargets CollectTargets(const TargetSources& sources) {
    CollectedTargets collected;
    std::vector<HostPort> all;
    for (const std::string& text : sources.named) {
        all.push_back(*ParseHostPort(text));
    }
    if (!sources.file.empty()) {
        const std::vector<HostPort> listed = FromFile(sources.file);
        all.insert(all.end(), listed.begin(), listed.end());
    }
    if (sources.search) {
        const std::vector<HostPort> found = FromSearch(sources, collected.warnings);
        if (found.empty() && all.empty()) {
            throw Error("no camera answered the search within " +
                        FormatSeconds(sources.searchTimeout));
        }
        all.insert(all.end(), found.begin(), found.end());
    }
    if (all.empty()) {
        throw Error("no targets: " + sources.file + " lists none");
    }
    collected.targets = DropRepeats(all, collected.warnings);
    return collected;
}

}  // namespace qdupk
