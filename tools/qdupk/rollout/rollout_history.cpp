#include "rollout_history.h"

namespace qdupk {

namespace {

std::string Join(const std::string& before, const std::string& after) {
    return before.empty() ? after : before + "; " + after;
}

}  // namespace

std::string RepushHistory::CameBack(int attempt, int of, const std::string& state) {
    pending_ =
        "came back in recovery (state " + state + ") after attempt " + std::to_string(attempt);
    due_ =
        "pushed again (attempt " + std::to_string(attempt + 1) + " of " + std::to_string(of) + ")";
    return Join(done_, pending_ + "; " + due_);
}

void RepushHistory::Started() {
    if (pending()) {
        done_ = Join(done_, pending_ + "; " + due_);
        pending_.clear();
        due_.clear();
    }
}

std::string RepushHistory::Reason(const std::string& verdict) const {
    return Join(done_, verdict);
}

std::string RepushHistory::NotPushed() const {
    return Join(done_, pending_ + "; not pushed again: the rollout stopped");
}

}  // namespace qdupk
