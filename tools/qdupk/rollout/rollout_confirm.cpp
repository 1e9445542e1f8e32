#include "rollout_confirm.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qdupk {

namespace {

bool StateIs(const qd::StatusReport& report, const char* state) {
    return std::strcmp(report.state, state) == 0;
}

std::string Package(const qd::StatusReport& report) {
    return std::string(report.name) + " " + report.pkgVersion + " (" + report.identity + ")";
}

Confirmation Restarted(const qd::StatusReport& report, double sinceAck) {
    const std::string why = StateIs(report, "no journal")
                                ? "the camera keeps no boot journal"
                                : "the package has no kernel or root file system image";
    const double up = std::min(sinceAck, static_cast<double>(report.uptime));
    return {TargetResult::kOk,
            "came back (up " + std::to_string(static_cast<long>(up)) +
                " s); nothing to confirm: " + why,
            false};
}

Confirmation Good(const qd::StatusReport& report) {
    if (!report.full) {
        return {TargetResult::kOk,
                "confirmed: good after the reboot (the camera does not report package details)",
                true};
    }
    return {TargetResult::kOk, "confirmed: runs " + Package(report) + ", good", true};
}

}  // namespace

std::optional<Confirmation> JudgeReport(const qd::StatusReport& report, const ConfirmPlan& plan,
                                        double sinceAck) {
    const bool restarted = static_cast<double>(report.uptime) + 1.0 <= sinceAck;
    if (report.recovery && restarted) {
        return Confirmation{
            TargetResult::kRecovery,
            std::string("restarted into its recovery system (state ") + report.state + ")", false,
            report.state};
    }
    if (plan.byRestart || StateIs(report, "no journal")) {
        return restarted ? std::optional<Confirmation>(Restarted(report, sinceAck)) : std::nullopt;
    }
    const bool ours = report.full ? plan.identity == report.identity : restarted;
    if (StateIs(report, "good") && ours) {
        return Good(report);
    }
    if ((StateIs(report, "rolledback") || StateIs(report, "bad")) && ours) {
        return Confirmation{TargetResult::kRolledBack,
                            std::string("rolled back: the camera reports \"") + report.state +
                                "\" for this package",
                            false};
    }
    if (StateIs(report, "good") && restarted) {
        return Confirmation{
            TargetResult::kRolledBack,
            "rolled back: runs " + Package(report) + " after the reboot, not " + plan.identity,
            false};
    }
    return std::nullopt;
}

ConfirmWatch::ConfirmWatch(TimePoint acknowledged, Millis limit, ConfirmPlan plan)
    : acknowledged_(acknowledged),
      deadline_(acknowledged + limit),
      nextQuery_(acknowledged),
      limit_(limit),
      plan_(std::move(plan)) {}

bool ConfirmWatch::QueryDue(TimePoint now) {
    if (done_ || now < nextQuery_ || now >= deadline_) {
        return false;
    }
    nextQuery_ = now + kQueryInterval;
    return true;
}

void ConfirmWatch::Reported(const qd::StatusReport& report, TimePoint now) {
    if (done_ || now >= deadline_) {
        return;
    }
    const double sinceAck = std::chrono::duration<double>(now - acknowledged_).count();
    lastState_ = report.state[0] != '\0' ? report.state : "(empty)";
    back_ = back_ || static_cast<double>(report.uptime) + 1.0 <= sinceAck;
    done_ = JudgeReport(report, plan_, sinceAck);
}

std::optional<Confirmation> ConfirmWatch::verdict(TimePoint now) const {
    if (done_ || now < deadline_) {
        return done_;
    }
    const std::string seen = lastState_.empty() ? "no status yet since the acknowledgement"
                                                : "last state seen: " + lastState_;
    return Confirmation{TargetResult::kUnconfirmed,
                        "not confirmed within " + FormatSeconds(limit_) + "; " + seen, false};
}

std::string ConfirmWatch::Live() const {
    return lastState_.empty() ? "no status yet" : "state " + lastState_;
}

ConfirmWatch::TimePoint ConfirmWatch::NextEvent() const {
    return std::min(nextQuery_, deadline_);
}

RefusalWatch::RefusalWatch(TimePoint refused, std::string identity)
    : nextQuery_(refused),
      deadline_(refused + kQueryInterval * kQueries),
      identity_(std::move(identity)) {}

bool RefusalWatch::QueryDue(TimePoint now) {
    if (answered_ || sent_ >= kQueries || now < nextQuery_) {
        return false;
    }
    ++sent_;
    nextQuery_ = now + kQueryInterval;
    return true;
}

void RefusalWatch::Reported(const qd::StatusReport& report) {
    answered_ = true;
    if (!identity_.empty() && identity_ == report.lastIdentity && report.lastText[0] != '\0') {
        reason_ = std::string("the camera refused the package: ") + report.lastText;
    }
}

bool RefusalWatch::done(TimePoint now) const {
    return answered_ || now >= deadline_;
}

RefusalWatch::TimePoint RefusalWatch::NextEvent() const {
    return sent_ < kQueries ? std::min(nextQuery_, deadline_) : deadline_;
}

}  // namespace qdupk
