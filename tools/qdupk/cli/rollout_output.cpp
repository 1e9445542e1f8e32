#include "rollout_output.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "json_line.h"
#include "printable.h"
#include "progress.h"
#include "rollout_targets.h"
#include "status_view.h"

namespace qdupk {

namespace {

constexpr Millis kRedraw{250};
constexpr std::size_t kMaxLiveLines = 20;
constexpr std::size_t kLineWidth = 79;

constexpr TargetResult kResultOrder[] = {
    TargetResult::kOk,          TargetResult::kRolledBack, TargetResult::kRecovery,
    TargetResult::kUnconfirmed, TargetResult::kRefused,    TargetResult::kNoConnection,
    TargetResult::kTimeout,     TargetResult::kNotBack,    TargetResult::kNotStarted,
    TargetResult::kAborted,
};

std::string StopText(const char* reason) {
    const std::string why = reason;
    if (why == "canary") {
        return "stopping: a canary did not succeed; no other camera gets the package";
    }
    if (why == "max-failures") {
        return "stopping: the failure limit is reached; uploads running now finish, no new "
               "one starts";
    }
    return "stopping: interrupted; uploads running now finish, no new one starts (Ctrl-C "
           "again aborts them)";
}

std::string StopList(const StopReasons& stop) {
    std::string text;
    for (const auto& [held, name] : {std::pair<bool, const char*>{stop.canary, "canary"},
                                     {stop.failureLimit, "failure limit"},
                                     {stop.interrupted, "interrupted"}}) {
        if (held) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    }
    return text;
}

// One line per event, flushed at once: a log that ends early still says
// what happened up to there.
class PlainOutput : public RolloutObserver {
  public:
    explicit PlainOutput(std::FILE* out) : out_(out) {}

    void Started(const TargetRecord& record) override {
        Line("start " + TargetName(record.target) + " (attempt " + std::to_string(record.attempts) +
             ")");
    }
    void RetryLater(const TargetRecord& record, Millis pause) override {
        Line("retry " + TargetName(record.target) + " in " + FormatSeconds(pause) + ": " +
             record.reason);
    }
    void Acknowledged(const TargetRecord& record) override {
        Line("acknowledged " + TargetName(record.target) + "; waiting for it to come back");
    }
    void Finished(const TargetRecord& record) override { Line(ResultLine(record)); }
    void Stopped(const StopReasons& now, const char* reason) override {
        (void)now;
        Line(StopText(reason));
    }

  protected:
    static std::string ResultLine(const TargetRecord& r) {
        std::string line = std::string(ResultName(r.result)) + " " + TargetName(r.target);
        if (r.result == TargetResult::kNotStarted) {
            return line;
        }
        char figures[96];
        (void)std::snprintf(figures, sizeof figures, " (%s, %.1f s, %d attempt%s)",
                            FormatBytes(r.bytes).c_str(), r.seconds, r.attempts,
                            r.attempts == 1 ? "" : "s");
        return line + ": " + r.reason + figures;
    }
    void Line(const std::string& text) {
        (void)std::fprintf(out_, "%s\n", Printable(text).c_str());
        (void)std::fflush(out_);
    }
    std::FILE* out_;
};

class JsonOutput : public RolloutObserver {
  public:
    explicit JsonOutput(std::FILE* out) : out_(out) {}

    void Started(const TargetRecord& record) override {
        Emit({{"event", "start"},
              {"address", TargetName(record.target)},
              {"attempt", record.attempts}});
    }
    void RetryLater(const TargetRecord& record, Millis pause) override {
        Emit({{"event", "retry"},
              {"address", TargetName(record.target)},
              {"attempt", record.attempts},
              {"pause", static_cast<double>(pause.count()) / 1000.0},
              {"result", ResultName(record.result)},
              {"reason", record.reason}});
    }
    void Acknowledged(const TargetRecord& record) override {
        Emit({{"event", "acknowledged"}, {"address", TargetName(record.target)}});
    }
    void Finished(const TargetRecord& record) override {
        nlohmann::json event = RecordJson(record);
        event["event"] = "result";
        Emit(event);
    }
    void Stopped(const StopReasons& now, const char* reason) override {
        (void)now;
        Emit({{"event", "stop"}, {"reason", reason}});
    }

  private:
    void Emit(const nlohmann::json& event) {
        (void)std::fprintf(out_, "%s\n", JsonLine(event).c_str());
        (void)std::fflush(out_);
    }
    std::FILE* out_;
};

// Finished cameras scroll up as plain lines; below them a block of one
// line per camera in flight and a running count is redrawn in place.
class LiveOutput : public PlainOutput {
  public:
    explicit LiveOutput(std::FILE* out) : PlainOutput(out) {}
    ~LiveOutput() override { Erase(); }
    LiveOutput(const LiveOutput&) = delete;
    LiveOutput& operator=(const LiveOutput&) = delete;

    void Started(const TargetRecord& record) override { (void)record; }
    void RetryLater(const TargetRecord& record, Millis pause) override {
        Erase();
        PlainOutput::RetryLater(record, pause);
    }
    void Acknowledged(const TargetRecord& record) override { (void)record; }
    void Finished(const TargetRecord& record) override {
        Erase();
        done_.push_back(record);
        PlainOutput::Finished(record);
    }
    void Stopped(const StopReasons& now, const char* reason) override {
        Erase();
        PlainOutput::Stopped(now, reason);
    }
    Millis TickInterval() const override { return kRedraw; }
    void Tick(const std::vector<InFlight>& flights,
              const std::vector<TargetRecord>& records) override;

  private:
    void Erase();
    void Draw(const std::string& line);
    std::size_t drawn_ = 0;
    std::vector<TargetRecord> done_;
};

void LiveOutput::Erase() {
    if (drawn_ > 0) {
        // To the start of the block's first line, then clear to the end.
        (void)std::fprintf(out_, "\x1b[%zuF\x1b[J", drawn_);
        (void)std::fflush(out_);
        drawn_ = 0;
    }
}

void LiveOutput::Draw(const std::string& line) {
    // A wrapped line would throw off the count of lines to erase.
    const std::string shown = Printable(line).substr(0, kLineWidth);
    (void)std::fprintf(out_, "%s\n", shown.c_str());
    ++drawn_;
}

void LiveOutput::Tick(const std::vector<InFlight>& flights,
                      const std::vector<TargetRecord>& records) {
    Erase();
    for (std::size_t i = 0; i < flights.size() && i < kMaxLiveLines; ++i) {
        const InFlight& f = flights[i];
        const std::string rate =
            f.rate > 0.0 ? FormatBytes(static_cast<std::uint64_t>(f.rate)) + "/s" : "";
        char line[160];
        (void)std::snprintf(line, sizeof line, "  %-21s %-12s %10s %14s",
                            TargetName(records[f.index].target).c_str(), f.state.c_str(),
                            FormatBytes(f.bytes).c_str(), rate.c_str());
        Draw(line);
    }
    if (flights.size() > kMaxLiveLines) {
        Draw("  ... and " + std::to_string(flights.size() - kMaxLiveLines) + " more in flight");
    }
    Draw("[" + std::to_string(done_.size()) + "/" + std::to_string(records.size()) + " done, " +
         std::to_string(flights.size()) + " in flight] " + CountsText(done_));
    (void)std::fflush(out_);
}

}  // namespace

std::unique_ptr<RolloutObserver> MakeOutput(OutputKind kind, std::FILE* out) {
    switch (kind) {
        case OutputKind::kJson:
            return std::make_unique<JsonOutput>(out);
        case OutputKind::kLive:
            return std::make_unique<LiveOutput>(out);
        case OutputKind::kPlain:
            break;
    }
    return std::make_unique<PlainOutput>(out);
}

namespace {

std::string BeforeLine(const HostPort& target, const std::optional<qd::StatusReport>& report) {
    const std::string line = "status " + TargetName(target) + ": ";
    if (!report) {
        return line + "no status (older camera): done once it answers a search again";
    }
    std::string text = line + report->state + ", version " + report->version;
    if (report->identity[0] != '\0') {
        text += ", package " + std::string(report->name) + " " + report->pkgVersion + " (" +
                report->identity + ")";
    }
    return text;
}

nlohmann::json BeforeJson(const HostPort& target, const std::optional<qd::StatusReport>& report) {
    nlohmann::json event = report ? ReportJson(*report) : nlohmann::json::object();
    event["event"] = "status";
    event["address"] = TargetName(target);
    event["answered"] = report.has_value();
    return event;
}

}  // namespace

void PrintBefore(OutputKind kind, std::FILE* out, const std::vector<HostPort>& targets,
                 const std::vector<std::optional<qd::StatusReport>>& before) {
    for (std::size_t i = 0; i < targets.size() && i < before.size(); ++i) {
        const std::string line = kind == OutputKind::kJson
                                     ? JsonLine(BeforeJson(targets[i], before[i]))
                                     : Printable(BeforeLine(targets[i], before[i]));
        (void)std::fprintf(out, "%s\n", line.c_str());
    }
    (void)std::fflush(out);
}

std::string CountsText(const std::vector<TargetRecord>& records) {
    std::string text;
    for (const TargetResult result : kResultOrder) {
        const auto count =
            std::count_if(records.begin(), records.end(),
                          [result](const TargetRecord& r) { return r.result == result; });
        if (count > 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + ResultName(result);
        }
    }
    return text;
}

void PrintSummary(OutputKind kind, std::FILE* out, const RolloutOutcome& outcome) {
    if (kind == OutputKind::kJson) {
        nlohmann::json summary = SummaryJson(outcome.records, outcome.stop);
        summary["event"] = "summary";
        (void)std::fprintf(out, "%s\n", JsonLine(summary).c_str());
    } else {
        std::string line = "rollout: " + std::to_string(outcome.records.size()) + " target" +
                           (outcome.records.size() == 1 ? "" : "s") + ": " +
                           CountsText(outcome.records);
        if (outcome.stop.any()) {
            line += "; stopped (" + StopList(outcome.stop) + ")";
        }
        (void)std::fprintf(out, "%s\n", line.c_str());
    }
    (void)std::fflush(out);
}

}  // namespace qdupk
