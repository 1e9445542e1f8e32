// The console's camera list: the cameras given at start, found by searches
// and added on the page, one entry per camera, each with its latest status
// and its result in the latest rollout that included it.
#ifndef QDUPK_TOOL_CONSOLE_CAMERAS_H
#define QDUPK_TOOL_CONSOLE_CAMERAS_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli_values.h"
#include "qd_status.h"
#include "status_client.h"

namespace qdupk {

enum class CameraSource : std::uint8_t { kSearch, kGiven, kAdded };

struct LastResult {
    std::string rollout;
    std::string result;
    std::string reason;
};

struct ConsoleCamera {
    HostPort target;
    std::string name;  // "host:port", how the page and the API name it
    CameraSource source = CameraSource::kSearch;
    std::optional<qd::StatusReport> status;
    std::optional<LastResult> last;
};

class CameraBook {
  public:
    // Adds the cameras not listed yet (a camera reached under another
    // name counts as listed) and keeps the list in address order; the
    // names of those added.
    std::vector<std::string> Merge(const std::vector<HostPort>& targets, CameraSource source);
    // The listed camera `target` reaches, if any.
    const ConsoleCamera* Find(const HostPort& target) const;
    const ConsoleCamera* FindByName(const std::string& name) const;
    ConsoleCamera* FindByName(const std::string& name);
    // Asks the cameras named (all: empty) for their status; a silent one
    // has none afterwards.
    void AskStatus(StatusClient& client, const std::vector<std::string>& names = {});

    const std::vector<ConsoleCamera>& cameras() const { return cameras_; }

  private:
    std::vector<ConsoleCamera> cameras_;
};

// One camera as GET /api/cameras lists it.
nlohmann::json CameraEntryJson(const ConsoleCamera& camera);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_CAMERAS_H
