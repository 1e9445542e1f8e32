#include "status_view.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "json_line.h"
#include "printable.h"

namespace qdupk {

namespace {

using Row = std::vector<std::string>;

// Empty texts show as "-", so every column has a word in it.
std::string Cell(const std::string& text) {
    return text.empty() ? "-" : Printable(text);
}

// Each column as wide as its widest cell; the last cell of a row is not
// padded. A short row (a camera without a report) takes the widths of the
// columns it has and its last cell runs on.
std::string Columns(const std::vector<Row>& rows) {
    std::vector<std::size_t> widths;
    for (const Row& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i + 1 < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string text;
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            text += last ? row[i] + "\n" : row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        }
    }
    return text;
}

std::string StateText(const qd::StatusReport& r) {
    return Cell(r.state) + (r.recovery ? " (recovery)" : "");
}

std::string PackageText(const qd::StatusReport& r) {
    if (r.name[0] == '\0' && r.pkgVersion[0] == '\0' && r.identity[0] == '\0') {
        return "-";
    }
    return Cell(r.name) + " " + Cell(r.pkgVersion) + " (" + Cell(r.identity) + ")";
}

std::string CounterText(const qd::StatusReport& r) {
    return r.counterKnown ? std::to_string(r.counter) : "-";
}

Row StatusRow(const CameraStatus& camera) {
    if (!camera.report) {
        return {camera.address, camera.missing};
    }
    const qd::StatusReport& r = *camera.report;
    return {camera.address, Cell(r.version), StateText(r),         Cell(r.slot),
            PackageText(r), CounterText(r),  UptimeText(r.uptime), Cell(r.lastText)};
}

nlohmann::json TextOrNull(bool full, const char* text) {
    return full ? nlohmann::json(text) : nlohmann::json(nullptr);
}

}  // namespace

std::string UptimeText(std::uint32_t seconds) {
    const std::uint32_t days = seconds / 86400;
    char text[32];
    (void)std::snprintf(text, sizeof text, "%u:%02u:%02u", seconds % 86400 / 3600,
                        seconds % 3600 / 60, seconds % 60);
    return days > 0 ? std::to_string(days) + "d " + text : std::string(text);
}

std::string FormatStatusTable(const std::vector<CameraStatus>& cameras) {
    std::vector<Row> rows = {
        {"ADDRESS", "VERSION", "STATE", "SLOT", "PACKAGE", "COUNTER", "UP", "LAST"}};
    for (const CameraStatus& camera : cameras) {
        rows.push_back(StatusRow(camera));
    }
    return Columns(rows);
}

nlohmann::json ReportJson(const qd::StatusReport& r) {
    const bool full = r.full;
    return {{"format", r.format},
            {"detail", full ? "full" : "basic"},
            {"version", r.version},
            {"device", r.device},
            {"state", r.state},
            {"recovery", r.recovery},
            {"slot", r.slot},
            {"uptime", r.uptime},
            {"package_name", TextOrNull(full, r.name)},
            {"package_version", TextOrNull(full, r.pkgVersion)},
            {"identity", TextOrNull(full, r.identity)},
            {"counter", full && r.counterKnown ? nlohmann::json(r.counter) : nullptr},
            {"last_result", full ? nlohmann::json(r.lastResult) : nullptr},
            {"last_text", TextOrNull(full, r.lastText)},
            {"last_identity", TextOrNull(full, r.lastIdentity)}};
}

std::string FormatStatusJson(const std::vector<CameraStatus>& cameras) {
    nlohmann::json list = nlohmann::json::array();
    for (const CameraStatus& camera : cameras) {
        nlohmann::json entry =
            camera.report ? ReportJson(*camera.report) : nlohmann::json::object();
        entry["address"] = camera.address;
        entry["answered"] = camera.report.has_value();
        entry["missing"] = camera.missing;
        list.push_back(entry);
    }
    return JsonLine(list) + "\n";
}

std::string FormatSearchStatusTable(const std::vector<CameraReply>& cameras,
                                    const std::vector<std::optional<qd::StatusReport>>& reports) {
    const bool withAnnounced = std::any_of(cameras.begin(), cameras.end(),
                                           [](const auto& c) { return c.announced != c.address; });
    std::vector<Row> rows = {{"ADDRESS", "PORT", "VERSION", "STATE"}};
    if (withAnnounced) {
        rows.front().push_back("ANNOUNCED");
    }
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const std::optional<qd::StatusReport>& r = reports[i];
        rows.push_back({cameras[i].address, std::to_string(cameras[i].port),
                        r ? Cell(r->version) : "-",
                        r ? StateText(*r) : "no status (older camera)"});
        if (withAnnounced) {
            rows.back().push_back(cameras[i].announced);
        }
    }
    return Columns(rows);
}

std::string FormatSearchStatusJson(const std::vector<CameraReply>& cameras,
                                   const std::vector<std::optional<qd::StatusReport>>& reports) {
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        nlohmann::json entry = CameraJson(cameras[i]);
        entry["version"] = reports[i] ? nlohmann::json(reports[i]->version) : nullptr;
        entry["state"] = reports[i] ? nlohmann::json(reports[i]->state) : nullptr;
        list.push_back(entry);
    }
    return JsonLine(list) + "\n";
}

}  // namespace qdupk
