// A target that came back in recovery and got the package again: what it
// went through, so its final reason tells the whole story and not only how
// the last attempt ended.
#ifndef QDUPK_TOOL_ROLLOUT_HISTORY_H
#define QDUPK_TOOL_ROLLOUT_HISTORY_H

#include <string>

namespace qdupk {

class RepushHistory {
  public:
    // It came back in recovery (journal state `state`) after attempt
    // `attempt`, and attempt + 1 of `of` is due: the reason to show until
    // that attempt starts, "came back in recovery (state failed) after
    // attempt 1; pushed again (attempt 2 of 3)" after any earlier ones.
    std::string CameBack(int attempt, int of, const std::string& state);
    // The attempt due started: what was due is history now.
    void Started();
    // The target's final reason: the history, then `verdict`.
    std::string Reason(const std::string& verdict) const;
    // Whether an attempt is due that has not started.
    bool pending() const { return !pending_.empty(); }
    // The reason when the rollout stopped before the due attempt started.
    std::string NotPushed() const;

  private:
    std::string done_;
    std::string pending_;  // "came back in recovery (state ...) after attempt N"
    std::string due_;      // "pushed again (attempt N + 1 of M)"
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_HISTORY_H
