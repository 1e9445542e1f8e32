#include "rollout_report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "json_line.h"
#include "qd_owners.h"
#include "rollout_targets.h"

namespace qdupk {

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) {
        return false;
    }
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(), [](char wanted, char c) {
        return std::tolower(static_cast<unsigned char>(c)) == wanted;
    });
}

// Quoted when it holds a separator, quote or line break; a leading
// character that a spreadsheet would run as a formula is defused.
std::string CsvField(const std::string& text) {
    std::string field = text;
    if (!field.empty() && std::strchr("=+-@", field.front()) != nullptr) {
        field.insert(0, 1, '\'');
    }
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string Seconds(double seconds) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

constexpr char kCsvHeader[] = "address,result,reason,bytes,seconds,attempts,back,confirmed\n";

std::string CsvRow(const TargetRecord& r) {
    return CsvField(TargetName(r.target)) + "," + ResultName(r.result) + "," + CsvField(r.reason) +
           "," + std::to_string(r.bytes) + "," + Seconds(r.seconds) + "," +
           std::to_string(r.attempts) + "," + BackName(r.back) + "," + BackName(r.confirmed) + "\n";
}

bool IsJsonPath(const std::string& path) {
    return EndsWith(path, ".json");
}

}  // namespace

std::string ReportCsv(const std::vector<TargetRecord>& records) {
    std::string text = kCsvHeader;
    for (const TargetRecord& r : records) {
        text += CsvRow(r);
    }
    return text;
}

std::string ReportJson(const std::vector<TargetRecord>& records, const StopReasons& stop) {
    nlohmann::json targets = nlohmann::json::array();
    for (const TargetRecord& r : records) {
        targets.push_back(RecordJson(r));
    }
    // One target a line, so the file reads and diffs well.
    std::string text = "{\"summary\": " + JsonLine(SummaryJson(records, stop)) + ",\n";
    text += " \"targets\": [";
    for (std::size_t i = 0; i < targets.size(); ++i) {
        text += (i == 0 ? "\n  " : ",\n  ") + JsonLine(targets[i]);
    }
    return text + "]}\n";
}

bool IsReportPath(const std::string& path) {
    return EndsWith(path, ".csv") || EndsWith(path, ".json");
}

void WriteReport(const std::string& path, const std::vector<TargetRecord>& records,
                 const StopReasons& stop) {
    const std::string text = IsJsonPath(path) ? ReportJson(records, stop) : ReportCsv(records);
    AtomicFile out(path);
    qd::FilePtr file(std::fopen(out.path().c_str(), "w"));
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
        !qd::CloseChecked(file)) {
        throw Error("cannot write " + path + ": " + std::strerror(errno));
    }
    out.Commit();
}

PartialReport::PartialReport(const std::string& path)
    : path_(path + ".partial"), json_(IsJsonPath(path)), file_(std::fopen(path_.c_str(), "wx")) {
    if (!file_ && errno == EEXIST) {
        throw Error(path_ +
                    " exists: a rollout that did not finish left it; keep it elsewhere first");
    }
    if (!file_) {
        throw Error("cannot write " + path_ + ": " + std::strerror(errno));
    }
    if (!json_) {
        Write(kCsvHeader);
    }
}

// One without a result holds nothing worth keeping (the rollout failed
// before its first verdict) and must not block the next one.
PartialReport::~PartialReport() {
    if (finished_ || added_ == 0) {
        file_.reset();
        (void)std::remove(path_.c_str());
    }
}

// Flushed at once: the process may be killed before the next result.
void PartialReport::Write(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size() ||
        std::fflush(file_.get()) != 0) {
        failed_ = true;
    }
}

void PartialReport::Add(const TargetRecord& record) {
    ++added_;
    Write(json_ ? JsonLine(RecordJson(record)) + "\n" : CsvRow(record));
}

ReportingObserver::ReportingObserver(RolloutObserver& inner, PartialReport& partial)
    : inner_(inner), partial_(partial) {}

void ReportingObserver::Finished(const TargetRecord& record) {
    partial_.Add(record);
    inner_.Finished(record);
}

}  // namespace qdupk
