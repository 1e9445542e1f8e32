// The report file of a rollout: every target's result as CSV or JSON,
// written whole or not at all.
#ifndef QDUPK_TOOL_ROLLOUT_REPORT_H
#define QDUPK_TOOL_ROLLOUT_REPORT_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "qd_owners.h"
#include "rollout_record.h"
#include "rollout_run.h"

namespace qdupk {

// The report file's content: CSV with a header line (address, result,
// reason, bytes, seconds, attempts, back, confirmed), or one JSON document with the
// summary and a record per target.
std::string ReportCsv(const std::vector<TargetRecord>& records);
std::string ReportJson(const std::vector<TargetRecord>& records, const StopReasons& stop);

// True for a path ending in ".csv" or ".json" (any case), the two kinds
// of report.
bool IsReportPath(const std::string& path);
// Writes the report whole or not at all (a temporary file in its folder,
// renamed over it); throws Error.
void WriteReport(const std::string& path, const std::vector<TargetRecord>& records,
                 const StopReasons& stop);

// "FILE.partial" beside the report FILE while the rollout runs: each
// result appended as it comes (a CSV row under the header, or one JSON
// object a line) and flushed, so a killed job or a dropped session still
// leaves the record of who got the firmware. Removed once the whole report
// is written (MarkFinished), or when it got no result; kept otherwise.
class PartialReport {
  public:
    // Throws Error when the file cannot be made, or exists: the record of
    // an earlier rollout that did not finish is never overwritten.
    explicit PartialReport(const std::string& reportPath);
    ~PartialReport();
    PartialReport(const PartialReport&) = delete;
    PartialReport& operator=(const PartialReport&) = delete;

    void Add(const TargetRecord& record);
    // The final report is in place: the partial one goes on destruction.
    void MarkFinished() { finished_ = true; }
    const std::string& path() const { return path_; }
    // A write failed (a full disk); the rollout goes on regardless.
    bool failed() const { return failed_; }

  private:
    void Write(const std::string& text);

    std::string path_;
    bool json_;
    qd::FilePtr file_;
    std::size_t added_ = 0;
    bool failed_ = false;
    bool finished_ = false;
};

// Passes every event on to `inner`, and each finished target to the
// partial report first.
class ReportingObserver : public RolloutObserver {
  public:
    ReportingObserver(RolloutObserver& inner, PartialReport& partial);
    void Started(const TargetRecord& record) override { inner_.Started(record); }
    void RetryLater(const TargetRecord& record, Millis pause) override {
        inner_.RetryLater(record, pause);
    }
    void Acknowledged(const TargetRecord& record) override { inner_.Acknowledged(record); }
    void Finished(const TargetRecord& record) override;
    void Stopped(const StopReasons& now, const char* reason) override {
        inner_.Stopped(now, reason);
    }
    Millis TickInterval() const override { return inner_.TickInterval(); }
    void Tick(const std::vector<InFlight>& flights,
              const std::vector<TargetRecord>& records) override {
        inner_.Tick(flights, records);
    }

  private:
    RolloutObserver& inner_;
    PartialReport& partial_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_REPORT_H
