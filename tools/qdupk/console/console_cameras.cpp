#include "console_cameras.h"

#include <algorithm>
#include <map>

#include "rollout_targets.h"
#include "status_view.h"

namespace qdupk {

namespace {

const char* SourceName(CameraSource source) {
    switch (source) {
        case CameraSource::kGiven:
            return "given";
        case CameraSource::kAdded:
            return "added";
        case CameraSource::kSearch:
            break;
    }
    return "search";
}

std::vector<HostPort> TargetsOf(const std::vector<ConsoleCamera>& cameras) {
    std::vector<HostPort> targets;
    targets.reserve(cameras.size());
    for (const ConsoleCamera& camera : cameras) {
        targets.push_back(camera.target);
    }
    return targets;
}

// The list in the order SortByAddress gives its targets.
void SortCameras(std::vector<ConsoleCamera>& cameras) {
    std::vector<HostPort> order = TargetsOf(cameras);
    SortByAddress(order);
    std::map<std::string, std::size_t> place;
    for (std::size_t i = 0; i < order.size(); ++i) {
        place.emplace(TargetName(order[i]), i);
    }
    std::stable_sort(cameras.begin(), cameras.end(),
                     [&place](const ConsoleCamera& a, const ConsoleCamera& b) {
                         return place[a.name] < place[b.name];
                     });
}

nlohmann::json TextOrNull(const char* text) {
    return text[0] != '\0' ? nlohmann::json(text) : nlohmann::json(nullptr);
}

nlohmann::json VersionJson(const qd::StatusReport& report) {
    return report.pkgVersion[0] != '\0' ? TextOrNull(report.pkgVersion)
                                        : TextOrNull(report.version);
}

nlohmann::json LastJson(const std::optional<LastResult>& last) {
    if (!last) {
        return nullptr;
    }
    return {{"rollout", last->rollout}, {"result", last->result}, {"reason", last->reason}};
}

}  // namespace

std::vector<std::string> CameraBook::Merge(const std::vector<HostPort>& targets,
                                           CameraSource source) {
    std::vector<HostPort> all = TargetsOf(cameras_);
    const std::size_t listed = all.size();
    all.insert(all.end(), targets.begin(), targets.end());
    std::vector<Repeat> dropped;
    const std::vector<HostPort> kept = WithoutRepeats(all, dropped);
    std::vector<std::string> added;
    for (std::size_t i = listed; i < kept.size(); ++i) {
        cameras_.push_back({kept[i], TargetName(kept[i]), source, std::nullopt, std::nullopt});
        added.push_back(cameras_.back().name);
    }
    SortCameras(cameras_);
    return added;
}

const ConsoleCamera* CameraBook::Find(const HostPort& target) const {
    if (const ConsoleCamera* same = FindByName(TargetName(target))) {
        return same;
    }
    std::vector<HostPort> all = TargetsOf(cameras_);
    all.push_back(target);
    std::vector<Repeat> dropped;
    (void)WithoutRepeats(all, dropped);
    return dropped.empty() ? nullptr : FindByName(dropped.front().first);
}

const ConsoleCamera* CameraBook::FindByName(const std::string& name) const {
    const auto found = std::find_if(cameras_.begin(), cameras_.end(),
                                    [&name](const ConsoleCamera& c) { return c.name == name; });
    return found != cameras_.end() ? &*found : nullptr;
}

ConsoleCamera* CameraBook::FindByName(const std::string& name) {
    const auto found = std::find_if(cameras_.begin(), cameras_.end(),
                                    [&name](const ConsoleCamera& c) { return c.name == name; });
    return found != cameras_.end() ? &*found : nullptr;
}

void CameraBook::AskStatus(StatusClient& client, const std::vector<std::string>& names) {
    std::vector<ConsoleCamera*> asked;
    for (ConsoleCamera& camera : cameras_) {
        if (names.empty() || std::find(names.begin(), names.end(), camera.name) != names.end()) {
            asked.push_back(&camera);
        }
    }
    std::vector<HostPort> targets;
    targets.reserve(asked.size());
    for (const ConsoleCamera* camera : asked) {
        targets.push_back(camera->target);
    }
    const std::vector<std::optional<qd::StatusReport>> reports =
        AskEach(client, TargetAddresses(targets));
    for (std::size_t i = 0; i < asked.size(); ++i) {
        asked[i]->status = reports[i];
    }
}

nlohmann::json CameraEntryJson(const ConsoleCamera& camera) {
    const std::optional<qd::StatusReport>& status = camera.status;
    return {{"target", camera.name},
            {"address", camera.target.host},
            {"port", camera.target.port},
            {"source", SourceName(camera.source)},
            {"status", status ? ReportJson(*status) : nlohmann::json(nullptr)},
            {"version", status ? VersionJson(*status) : nlohmann::json(nullptr)},
            {"state", status ? TextOrNull(status->state) : nlohmann::json(nullptr)},
            {"last", LastJson(camera.last)}};
}

}  // namespace qdupk
