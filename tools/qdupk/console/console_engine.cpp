#include "console_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "console_cameras.h"
#include "console_observer.h"
#include "console_queue.h"
#include "console_request.h"
#include "console_rollout_view.h"
#include "json_line.h"
#include "package_json.h"
#include "rollout_package.h"
#include "rollout_report.h"
#include "rollout_request.h"
#include "rollout_return.h"
#include "rollout_targets.h"

namespace qdupk {

namespace {

constexpr int kOk = 200;
constexpr int kAccepted = 202;
constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kConflict = 409;
constexpr int kServerError = 500;
constexpr int kUnavailable = 503;

// Warnings of one search shown on the page; the rest are counted.
constexpr std::size_t kWarningsShown = 20;
// A file name from the page is shown, not used: a bound keeps it short.
constexpr std::size_t kMaxNameLength = 255;

ApiAnswer JsonAnswer(int status, const nlohmann::json& body) {
    return {status, "application/json", JsonLine(body), ""};
}

ApiAnswer Message(int status, const std::string& text) {
    return JsonAnswer(status, {{"message", text}});
}

std::string BusyText(const std::string& id, const std::string& what) {
    return "a rollout is running: " + what + " when rollout " + id + " ends (rollout " + id +
           " is running; one rollout at a time)";
}

ApiAnswer NoRollout(const std::string& id) {
    return Message(kNotFound, "no rollout " + id);
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[32] = {};
    (void)gmtime_r(&now, &utc);
    (void)std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); !from.empty() && at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// What is known of a rollout the loop could not finish (no memory left):
// the results so far, the others aborted.
RolloutOutcome Broken(const RolloutView& view, const std::string& why) {
    RolloutOutcome outcome;
    for (const CameraProgress& camera : view.cameras) {
        TargetRecord record;
        record.target = *ParseHostPort(camera.target);
        record.result = camera.result.value_or(TargetResult::kAborted);
        record.reason = camera.result ? camera.reason : "the rollout failed: " + why;
        record.bytes = camera.bytes;
        record.attempts = camera.attempts;
        record.seconds = camera.seconds;
        outcome.records.push_back(record);
    }
    outcome.stop.interrupted = true;
    outcome.exitStatus = RolloutExitStatus(outcome.records, outcome.stop);
    return outcome;
}

std::shared_ptr<const std::string> Shared(std::string text) {
    return std::make_shared<const std::string>(std::move(text));
}

// The latest package the page sent, kept open: what was verified is what
// a rollout sends.
struct Package {
    std::string id;
    std::string name;   // as the page gave it
    std::string label;  // how messages name it
    std::string path;
    std::uint64_t size = 0;
    std::optional<RolloutPackage> file;  // none: it could not even be opened
    VerifyResult result;
};

// A rollout accepted and prepared, to start once the commands at hand are
// answered.
struct PendingRollout {
    std::vector<HostPort> targets;
    RolloutRequest request;
    PreparedRollout prepared;
};

// What handlers read without asking the engine thread.
struct Snapshots {
    std::shared_ptr<const std::string> cameras;
    std::shared_ptr<const std::string> rollout;
    std::shared_ptr<const std::string> reportCsv;
    std::shared_ptr<const std::string> reportJson;
    std::string rolloutId;
    bool running = false;
};

}  // namespace

struct ConsoleEngine::Impl {
    explicit Impl(ConsoleOptions given);

    ApiAnswer Ask(std::function<ApiAnswer()> work);
    Snapshots Read();

    // The engine thread.
    void Run();
    void WaitForCommands();
    void RunCommands();
    void FirstList();
    void Search();
    void AskStatus(const std::vector<std::string>& names = {});
    void PublishCameras();
    ApiAnswer CamerasAnswer();
    ApiAnswer Refresh();
    ApiAnswer AddCamera(const nlohmann::json& body);
    ApiAnswer TakePackage(const std::string& path, const std::string& name);
    Package Judge(const std::string& path, const std::string& name);
    nlohmann::json PackageJson(const Package& package) const;
    ApiAnswer StartRollout(const nlohmann::json& body);
    bool CheckPackage(const std::string& id, ApiAnswer& refusal) const;
    bool CheckTargets(const std::vector<HostPort>& targets, ApiAnswer& refusal) const;
    PendingRollout Prepare(RolloutBody& body);
    void Begin(RolloutBody& body, PendingRollout pending);
    void RunPending();
    void Finish(const RolloutOutcome& outcome);
    ApiAnswer Interrupt(const std::string& id, int presses, const char* state);
    std::shared_ptr<EventStream> Subscribe(const std::string& id, ApiAnswer& refusal);
    void Publish(const char* type, const nlohmann::json& data, std::optional<std::size_t> camera);
    void PublishRollout();
    std::string StateText() const;
    bool Running() const { return !view.id.empty() && view.state != "finished"; }
    ApiAnswer Busy(const std::string& what) const;

    ConsoleOptions options;
    SealPolicy policy;
    CommandQueue queue;
    std::thread thread;
    std::atomic<bool> started{false};
    std::atomic<unsigned> incoming{0};
    EventHub hub;

    std::mutex snapshotMutex;
    Snapshots snapshots;

    // Only the engine thread touches what follows.
    bool stopping = false;
    volatile std::sig_atomic_t presses = 0;
    CameraBook book;
    std::vector<std::string> warnings;
    bool searching = false;
    std::string searched;
    std::unique_ptr<StatusClient> status;
    std::optional<Package> package;
    unsigned packages = 0;
    unsigned rollouts = 0;
    RolloutView view;
    std::optional<PendingRollout> pending;
    std::optional<ConsoleEvent> finished;  // the last rollout's end, for late streams
    bool rolloutDirty = false;
};

ConsoleEngine::Impl::Impl(ConsoleOptions given)
    : options(std::move(given)), policy(PolicyFromKeyFiles(options.publicKeys, std::nullopt)) {
    snapshots.cameras = Shared(JsonLine({{"searching", options.sources.search},
                                         {"search", options.sources.search},
                                         {"searched", nullptr},
                                         {"warnings", nlohmann::json::array()},
                                         {"cameras", nlohmann::json::array()}}));
}

// --- the way in ---------------------------------------------------------------

ApiAnswer ConsoleEngine::Impl::Ask(std::function<ApiAnswer()> work) {
    if (!started) {
        return Message(kUnavailable, "the console's engine is not running");
    }
    auto promise = std::make_shared<std::promise<ApiAnswer>>();
    std::future<ApiAnswer> answer = promise->get_future();
    const bool queued = queue.Push([this, promise, work = std::move(work)] {
        if (stopping) {
            promise->set_value(Message(kUnavailable, "the console is stopping"));
            return;
        }
        try {
            promise->set_value(work());
        } catch (const std::exception& e) {
            promise->set_value(Message(kServerError, e.what()));
        }
    });
    if (!queued) {
        return Message(kUnavailable, "the console is stopping");
    }
    return answer.get();
}

Snapshots ConsoleEngine::Impl::Read() {
    const std::lock_guard<std::mutex> lock(snapshotMutex);
    return snapshots;
}

ApiAnswer ConsoleEngine::Impl::Busy(const std::string& what) const {
    return Message(kConflict, BusyText(view.id, what));
}

// --- the thread -----------------------------------------------------------------

void ConsoleEngine::Impl::Run() {
    FirstList();
    while (!stopping) {
        WaitForCommands();
        RunCommands();
        if (pending) {
            RunPending();
        }
    }
    queue.Close();
    RunCommands();  // each answers that the console is stopping
}

void ConsoleEngine::Impl::WaitForCommands() {
    pollfd entry{queue.Descriptor(), POLLIN, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

void ConsoleEngine::Impl::RunCommands() {
    for (CommandQueue::Command& command : queue.Take()) {
        command();
    }
}

// --- cameras ---------------------------------------------------------------------

void ConsoleEngine::Impl::FirstList() {
    TargetSources given = options.sources;
    given.search = false;
    if (!given.named.empty() || !given.file.empty()) {
        try {
            const CollectedTargets listed = CollectTargets(given);
            (void)book.Merge(listed.targets, CameraSource::kGiven);
        } catch (const Error& e) {
            warnings.emplace_back(e.what());
        }
    }
    Search();
}

void ConsoleEngine::Impl::Search() {
    if (options.sources.search) {
        searching = true;
        PublishCameras();
        warnings.clear();
        TargetSources found = options.sources;
        found.named.clear();
        found.file.clear();
        try {
            const CollectedTargets collected = CollectTargets(found);
            (void)book.Merge(collected.targets, CameraSource::kSearch);
            for (const std::vector<std::string>& group : collected.warnings) {
                warnings.insert(warnings.end(), group.begin(), group.end());
            }
        } catch (const Error& e) {
            warnings.emplace_back(e.what());
        }
        searched = UtcNow();
        searching = false;
    }
    AskStatus();
    PublishCameras();
}

void ConsoleEngine::Impl::AskStatus(const std::vector<std::string>& names) {
    try {
        if (!status) {
            status = std::make_unique<StatusClient>();
        }
        book.AskStatus(*status, names);
    } catch (const Error& e) {
        warnings.emplace_back(std::string("status: ") + e.what());
    }
}

ApiAnswer ConsoleEngine::Impl::CamerasAnswer() {
    nlohmann::json cameras = nlohmann::json::array();
    for (const ConsoleCamera& camera : book.cameras()) {
        cameras.push_back(CameraEntryJson(camera));
    }
    std::vector<std::string> shown(
        warnings.begin(),
        warnings.begin() + static_cast<std::ptrdiff_t>(std::min(warnings.size(), kWarningsShown)));
    if (warnings.size() > kWarningsShown) {
        shown.push_back("... and " + std::to_string(warnings.size() - kWarningsShown) + " more");
    }
    return JsonAnswer(
        kOk, {{"searching", searching},
              {"search", options.sources.search},
              {"searched", searched.empty() ? nlohmann::json(nullptr) : nlohmann::json(searched)},
              {"warnings", shown},
              {"cameras", std::move(cameras)}});
}

void ConsoleEngine::Impl::PublishCameras() {
    std::shared_ptr<const std::string> text = Shared(CamerasAnswer().body);
    const std::lock_guard<std::mutex> lock(snapshotMutex);
    snapshots.cameras = std::move(text);
}

ApiAnswer ConsoleEngine::Impl::Refresh() {
    if (Running()) {
        return Busy("search again");
    }
    Search();
    return CamerasAnswer();
}

ApiAnswer ConsoleEngine::Impl::AddCamera(const nlohmann::json& body) {
    const auto given = body.is_object() ? body.find("target") : body.end();
    const std::optional<HostPort> target = given != body.end() && given->is_string()
                                               ? ParseHostPort(given->get<std::string>())
                                               : std::nullopt;
    if (!target) {
        return Message(kBadRequest, "target: needs HOST:PORT with a port from 1 to 65535, not " +
                                        JsonLine(given != body.end() ? *given : nullptr));
    }
    if (const ConsoleCamera* listed = book.Find(*target)) {
        return JsonAnswer(kOk, CameraEntryJson(*listed));
    }
    if (Running()) {
        return Busy("add the camera");
    }
    const std::vector<std::string> added = book.Merge({*target}, CameraSource::kAdded);
    AskStatus(added);
    PublishCameras();
    return JsonAnswer(kOk, CameraEntryJson(*book.FindByName(added.front())));
}

// --- packages --------------------------------------------------------------------

Package ConsoleEngine::Impl::Judge(const std::string& path, const std::string& name) {
    Package next;
    next.id = "p" + std::to_string(++packages);
    next.name = name.substr(0, kMaxNameLength);
    next.label = next.name.empty() ? "package " + next.id : next.name;
    next.path = path;
    try {
        next.file = OpenRolloutPackage(path);
        next.size = next.file->size;
        next.result = JudgeOpened(*next.file, next.label, policy);
    } catch (const Error& e) {
        next.result.unreadable = true;
        next.result.message = Replaced(e.what(), path, next.label);
    }
    if (!next.file) {
        struct stat info {};
        next.size = stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    }
    return next;
}

nlohmann::json ConsoleEngine::Impl::PackageJson(const Package& kept) const {
    nlohmann::json json =
        VerifyJson(kept.label, kept.result, VerifiedWith(options.publicKeys, kept.result));
    json["id"] = kept.id;
    // "name" is the file name the page gave; the package's own is kept too.
    json["package_name"] = json["name"];
    json["name"] = kept.name;
    json["size"] = kept.size;
    return json;
}

ApiAnswer ConsoleEngine::Impl::TakePackage(const std::string& path, const std::string& name) {
    if (Running()) {
        (void)unlink(path.c_str());
        return Busy("choose the package");
    }
    Package next = Judge(path, name);
    if (package && package->path != path) {
        (void)unlink(package->path.c_str());
    }
    package = std::move(next);
    return JsonAnswer(kOk, PackageJson(*package));
}

// --- rollouts ------------------------------------------------------------------

bool ConsoleEngine::Impl::CheckPackage(const std::string& id, ApiAnswer& refusal) const {
    if (!package || package->id != id) {
        // An id this console gave earlier; anything else it never gave.
        const std::optional<std::uint64_t> number =
            id.size() > 1 && id[0] == 'p' ? ParseCounter(id.substr(1)) : std::nullopt;
        const bool older = package && number && *number > 0 && *number < packages;
        refusal = Message(kConflict, older ? "package " + id + " was replaced by " + package->id
                                           : "no package " + id + ": send one first");
        return false;
    }
    if (!package->result.accepted) {
        refusal = Message(kConflict, RefusalText(package->label, package->result.message));
        return false;
    }
    return true;
}

bool ConsoleEngine::Impl::CheckTargets(const std::vector<HostPort>& targets,
                                       ApiAnswer& refusal) const {
    for (const HostPort& target : targets) {
        if (book.FindByName(TargetName(target)) == nullptr) {
            refusal = Message(kBadRequest, TargetName(target) +
                                               " is not in the camera list: refresh it or add "
                                               "the camera");
            return false;
        }
    }
    std::vector<Repeat> dropped;
    (void)WithoutRepeats(targets, dropped);
    if (!dropped.empty()) {
        refusal = Message(kBadRequest, "targets: " + dropped.front().name +
                                           " reaches the same camera as " + dropped.front().first);
        return false;
    }
    return true;
}

PendingRollout ConsoleEngine::Impl::Prepare(RolloutBody& body) {
    PendingRollout run;
    run.targets = body.targets;
    run.request = body.request;
    run.request.package = package->label;
    run.request.sources = options.sources;
    run.request.publicKeys = options.publicKeys;
    PreparedRollout& prepared = run.prepared;
    prepared.package.fd.reset(fcntl(package->file->fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!prepared.package.fd.valid()) {
        throw Error(std::string("cannot share the package with the rollout: ") +
                    std::strerror(errno));
    }
    prepared.package.size = package->file->size;
    prepared.verified = package->result.message;
    prepared.info = package->result.info;
    AskStatusBefore(run.request, run.targets, prepared);
    if (run.request.waitReturn) {
        try {
            prepared.probe = OpenReturnProbe(prepared.before, options.sources.interface);
        } catch (const Error& e) {
            throw Error(std::string("wait_return: ") + e.what());
        }
    }
    return run;
}

void ConsoleEngine::Impl::Begin(RolloutBody& body, PendingRollout run) {
    view = RolloutView{};
    view.id = std::to_string(++rollouts);
    view.package = {{"id", package->id},
                    {"name", package->name},
                    {"version", package->result.info.version},
                    {"size", package->size}};
    view.options = body.options;
    view.summary = nullptr;
    for (std::size_t i = 0; i < run.targets.size(); ++i) {
        CameraProgress camera;
        camera.index = i;
        camera.target = TargetName(run.targets[i]);
        camera.size = package->size;
        view.cameras.push_back(camera);
    }
    presses = 0;
    finished.reset();
    pending = std::move(run);
    const std::lock_guard<std::mutex> lock(snapshotMutex);
    snapshots.rolloutId = view.id;
    snapshots.running = true;
    snapshots.rollout = Shared(StateText());
    snapshots.reportCsv.reset();
    snapshots.reportJson.reset();
}

ApiAnswer ConsoleEngine::Impl::StartRollout(const nlohmann::json& json) {
    if (Running()) {
        return Busy("start the next one");
    }
    std::string error;
    std::optional<RolloutBody> body = ParseRolloutBody(json, error);
    if (!body) {
        return Message(kBadRequest, error);
    }
    ApiAnswer refusal;
    if (!CheckPackage(body->package, refusal) || !CheckTargets(body->targets, refusal)) {
        return refusal;
    }
    Begin(*body, Prepare(*body));
    return JsonAnswer(kAccepted,
                      {{"id", view.id}, {"events", "/api/rollouts/" + view.id + "/events"}});
}

void ConsoleEngine::Impl::RunPending() {
    PendingRollout run = std::move(*pending);
    pending.reset();
    RolloutSettings settings = SettingsFor(run.request, run.prepared);
    settings.interrupts = &presses;
    settings.wakeFd = queue.Descriptor();
    settings.onWake = [this] { RunCommands(); };
    settings.abortedBy = "the console's abort";
    ConsoleObserver observer(
        view, [this](const char* type, const nlohmann::json& data,
                     std::optional<std::size_t> camera) { Publish(type, data, camera); });
    observer.OnTick([this] {
        if (rolloutDirty) {
            PublishRollout();
        }
    });
    try {
        Finish(RunRollout(run.targets, settings, observer));
    } catch (const std::exception& e) {
        Finish(Broken(view, e.what()));
    }
}

void ConsoleEngine::Impl::Finish(const RolloutOutcome& outcome) {
    view.state = "finished";
    view.summary = SummaryJson(outcome.records, outcome.stop);
    view.exit = outcome.exitStatus;
    for (const TargetRecord& record : outcome.records) {
        if (ConsoleCamera* camera = book.FindByName(TargetName(record.target))) {
            camera->last = LastResult{view.id, ResultName(record.result), record.reason};
        }
    }
    {
        const std::lock_guard<std::mutex> lock(snapshotMutex);
        snapshots.running = false;
        snapshots.rollout = Shared(StateText());
        snapshots.reportCsv = Shared(ReportCsv(outcome.records));
        snapshots.reportJson = Shared(ReportJson(outcome.records, outcome.stop));
    }
    Publish("finished", {{"summary", view.summary}, {"exit", outcome.exitStatus}}, std::nullopt);
    hub.CloseAll();
    PublishCameras();
    AskStatus();
    PublishCameras();
}

ApiAnswer ConsoleEngine::Impl::Interrupt(const std::string& id, int level, const char* state) {
    if (id != view.id) {
        return NoRollout(id);
    }
    if (!Running()) {
        return Message(kConflict, "rollout " + id + " has ended");
    }
    if (presses < level) {
        presses = static_cast<std::sig_atomic_t>(level);
    }
    if (view.state != "aborting") {
        view.state = state;
    }
    Publish("state", StateJson(view), std::nullopt);
    PublishRollout();
    return JsonAnswer(kAccepted, {{"id", id}, {"state", view.state}});
}

// --- events ------------------------------------------------------------------------

std::string ConsoleEngine::Impl::StateText() const {
    return JsonLine(StateJson(view));
}

void ConsoleEngine::Impl::PublishRollout() {
    rolloutDirty = false;
    std::shared_ptr<const std::string> text = Shared(StateText());
    const std::lock_guard<std::mutex> lock(snapshotMutex);
    snapshots.rollout = std::move(text);
}

void ConsoleEngine::Impl::Publish(const char* type, const nlohmann::json& data,
                                  std::optional<std::size_t> camera) {
    const std::string text = JsonLine(data);
    const std::uint64_t sequence = hub.Publish(type, text, camera, [this] { return StateText(); });
    if (std::string(type) == "finished") {
        finished = ConsoleEvent{sequence, type, text, std::nullopt};
    }
    // Progress comes often: the snapshot follows it on the next tick.
    rolloutDirty = true;
    if (std::string(type) != "progress") {
        PublishRollout();
    }
}

std::shared_ptr<EventStream> ConsoleEngine::Impl::Subscribe(const std::string& id,
                                                            ApiAnswer& refusal) {
    if (id.empty() || id != view.id) {
        refusal = NoRollout(id);
        return nullptr;
    }
    std::shared_ptr<EventStream> stream = hub.Open(StateText());
    if (!stream) {
        refusal = Message(kUnavailable, std::to_string(kMaxEventStreams) +
                                            " event streams are open already; close a page");
        return nullptr;
    }
    if (finished) {
        stream->Push(*finished, ConsoleEvent{});
        stream->Close();
    }
    return stream;
}

// --- the public side -------------------------------------------------------------

ConsoleEngine::ConsoleEngine(ConsoleOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

ConsoleEngine::~ConsoleEngine() {
    if (impl_->started) {
        (void)impl_->queue.Push([impl = impl_.get()] {
            impl->stopping = true;
            impl->presses = 2;  // a running rollout ends as after a second Ctrl-C
        });
        impl_->thread.join();
    }
    if (impl_->package) {
        (void)unlink(impl_->package->path.c_str());
    }
}

void ConsoleEngine::Start() {
    if (!impl_->started.exchange(true)) {
        impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    }
}

ApiAnswer ConsoleEngine::Cameras(bool refresh) {
    if (refresh) {
        return impl_->Ask([impl = impl_.get()] { return impl->Refresh(); });
    }
    return {kOk, "application/json", *impl_->Read().cameras, ""};
}

ApiAnswer ConsoleEngine::AddCamera(const nlohmann::json& body) {
    return impl_->Ask([impl = impl_.get(), &body] { return impl->AddCamera(body); });
}

std::string ConsoleEngine::NewPackagePath(ApiAnswer& refusal) {
    const Snapshots now = impl_->Read();
    if (now.running) {
        refusal = Message(kConflict, BusyText(now.rolloutId, "choose the package"));
        return {};
    }
    return impl_->options.workDir + "/incoming-" + std::to_string(++impl_->incoming) + ".upg";
}

ApiAnswer ConsoleEngine::TakePackage(const std::string& path, const std::string& name) {
    ApiAnswer answer =
        impl_->Ask([impl = impl_.get(), &path, &name] { return impl->TakePackage(path, name); });
    if (answer.status == kUnavailable) {
        (void)unlink(path.c_str());
    }
    return answer;
}

ApiAnswer ConsoleEngine::StartRollout(const nlohmann::json& body) {
    return impl_->Ask([impl = impl_.get(), &body] { return impl->StartRollout(body); });
}

ApiAnswer ConsoleEngine::Cancel(const std::string& id) {
    return impl_->Ask([impl = impl_.get(), &id] { return impl->Interrupt(id, 1, "cancelling"); });
}

ApiAnswer ConsoleEngine::Abort(const std::string& id) {
    return impl_->Ask([impl = impl_.get(), &id] { return impl->Interrupt(id, 2, "aborting"); });
}

ApiAnswer ConsoleEngine::Rollout(const std::string& id) {
    const Snapshots now = impl_->Read();
    if (id.empty() || id != now.rolloutId) {
        return NoRollout(id);
    }
    return {kOk, "application/json", *now.rollout, ""};
}

ApiAnswer ConsoleEngine::Report(const std::string& id, const std::string& kind) {
    const Snapshots now = impl_->Read();
    if (id.empty() || id != now.rolloutId) {
        return NoRollout(id);
    }
    const bool csv = kind == "csv" || kind == "report.csv";
    if (!csv && kind != "json" && kind != "report.json") {
        return Message(kNotFound, "no report " + kind + ": there are report.csv and report.json");
    }
    if (now.running) {
        return Message(kConflict, "the report is ready when rollout " + id + " ends");
    }
    return csv ? ApiAnswer{kOk, "text/csv; charset=utf-8", *now.reportCsv, "rollout-" + id + ".csv"}
               : ApiAnswer{kOk, "application/json", *now.reportJson, "rollout-" + id + ".json"};
}

std::shared_ptr<EventStream> ConsoleEngine::Subscribe(const std::string& id, ApiAnswer& refusal) {
    std::shared_ptr<EventStream> stream;
    const ApiAnswer answer = impl_->Ask([impl = impl_.get(), &id, &stream] {
        ApiAnswer inner;
        stream = impl->Subscribe(id, inner);
        return inner;
    });
    if (!stream) {
        refusal = answer;
    }
    return stream;
}

}  // namespace qdupk
