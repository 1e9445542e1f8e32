// The report file of a rollout: every target's result as CSV or JSON,
// written whole or not at all.
#ifndef QDUPK_TOOL_ROLLOUT_REPORT_H
#define QDUPK_TOOL_ROLLOUT_REPORT_H

#include <string>
#include <vector>

#include "rollout_record.h"

namespace qdupk {

// The report file's content: CSV with a header line (address, result,
// reason, bytes, seconds, attempts, back, confirmed), or one JSON document with the
// summary and a record per target.
std::string ReportCsv(const std::vector<TargetRecord>& records);
std::string ReportJson(const std::vector<TargetRecord>& records, const StopReasons& stop);

// True for a path ending in ".csv" or ".json" (any case), the two kinds
// of report.
bool IsReportPath(const std::string& path);
// Writes the report whole or not at all; throws Error.
void WriteReport(const std::string& path, const std::vector<TargetRecord>& records,
                 const StopReasons& stop);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_REPORT_H
