// The web console's engine: one thread that owns the camera list, the
// latest package and the rollout, and drives search, status, verification
// and the rollout loop as `qdupk rollout` does. The HTTP side never touches
// that state: it hands commands over (a queue with an eventfd wake-up, so
// even a rollout's poll loop hears them at once) and reads the snapshots
// the engine publishes.
#ifndef QDUPK_TOOL_CONSOLE_ENGINE_H
#define QDUPK_TOOL_CONSOLE_ENGINE_H

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "console_events.h"
#include "rollout_sources.h"

namespace qdupk {

struct ConsoleOptions {
    // Cameras listed from the start (TARGETS, --targets) and whether a
    // search adds the others (at start and on each refresh).
    TargetSources sources;
    // Public key files a package's signature must be by, as `qdupk verify`.
    std::vector<std::string> publicKeys;
    std::uint64_t maxPackageSize = 2147483647;
    // A private folder (0700) the console owns; the package files live in
    // it and are removed with it.
    std::string workDir;
};

// What the HTTP side sends back: a status and a JSON body (errors as
// {"message": "..."}), or a file's text with its own type.
struct ApiAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string fileName;  // not empty: offered as a download of this name
};

class ConsoleEngine {
  public:
    // Throws Error when a public key file cannot be read.
    explicit ConsoleEngine(ConsoleOptions options);
    // Aborts a running rollout (as a second Ctrl-C would), waits for its
    // uploads to end, stops the thread and removes the package files.
    ~ConsoleEngine();
    ConsoleEngine(const ConsoleEngine&) = delete;
    ConsoleEngine& operator=(const ConsoleEngine&) = delete;

    // Starts the thread; with sources.search the first search runs on it.
    void Start();

    // Each call below is safe from any thread. Those that change something
    // queue a command and wait for the engine's answer; the others read the
    // latest snapshot.

    // GET /api/cameras[?refresh=1]
    ApiAnswer Cameras(bool refresh);
    // POST /api/cameras {"target": "HOST:PORT"}: a camera no search finds.
    ApiAnswer AddCamera(const nlohmann::json& body);
    // A fresh file in workDir the HTTP side may stream a package into, or
    // an error answer (a rollout is running) in `refusal`.
    std::string NewPackagePath(ApiAnswer& refusal);
    // POST /api/packages, once the body is in `path`: verifies it, keeps it
    // as the latest package (the one before is removed) and answers with
    // `qdupk verify --json`'s object plus "id". `name` is the file name the
    // page gave (may be empty). The file is removed when it is not kept.
    ApiAnswer TakePackage(const std::string& path, const std::string& name);
    // POST /api/rollouts {package, targets, parallel, ...}
    ApiAnswer StartRollout(const nlohmann::json& body);
    // POST /api/rollouts/ID/cancel and /abort
    ApiAnswer Cancel(const std::string& id);
    ApiAnswer Abort(const std::string& id);
    // GET /api/rollouts/ID (the state) and /api/rollouts/ID/report.csv|.json
    ApiAnswer Rollout(const std::string& id);
    ApiAnswer Report(const std::string& id, const std::string& kind);
    // GET /api/rollouts/ID/events: nullptr (and `refusal` set) when the
    // rollout is unknown or kMaxEventStreams are open. The stream starts
    // with the current state.
    std::shared_ptr<EventStream> Subscribe(const std::string& id, ApiAnswer& refusal);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_ENGINE_H
