// What `qdupk status` and `qdupk search --status` show of cameras' status
// reports: table lines for people, JSON for scripts. Every text a camera
// sent is shown through Printable in tables and as stored in JSON.
#ifndef QDUPK_TOOL_STATUS_VIEW_H
#define QDUPK_TOOL_STATUS_VIEW_H

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "discovery.h"
#include "qd_status.h"

namespace qdupk {

// One camera as `qdupk status` lists it.
struct CameraStatus {
    std::string address;
    std::optional<qd::StatusReport> report;
    // Why there is no report ("no status (older camera)", "did not
    // answer", ...); empty when there is one.
    std::string missing;
};

// "0:00:12", "3:04:05", "2d 3:04:05".
std::string UptimeText(std::uint32_t seconds);

// A header and one line per camera (address, version, state, slot,
// package, counter, up time, last result); a camera without a report
// shows why in place of the rest.
std::string FormatStatusTable(const std::vector<CameraStatus>& cameras);
// [{"address": ..., "answered": ..., ...}, ...], one line.
std::string FormatStatusJson(const std::vector<CameraStatus>& cameras);

// The report's members as FormatStatusJson gives them; the fields a basic
// answer leaves out are null.
nlohmann::json ReportJson(const qd::StatusReport& report);

// search --status: the search's table and JSON with each camera's version
// and state (reports[i] belongs to cameras[i]; nullopt: it gave none).
std::string FormatSearchStatusTable(const std::vector<CameraReply>& cameras,
                                    const std::vector<std::optional<qd::StatusReport>>& reports);
std::string FormatSearchStatusJson(const std::vector<CameraReply>& cameras,
                                   const std::vector<std::optional<qd::StatusReport>>& reports);

}  // namespace qdupk

#endif  // QDUPK_TOOL_STATUS_VIEW_H
