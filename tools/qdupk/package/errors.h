// How qdupk fails: one error type, thrown where the fault is found with
// its whole message and the exit status it means; main prints
// "qdupk COMMAND: error: MESSAGE" and exits with that status.
#ifndef QDUPK_TOOL_ERRORS_H
#define QDUPK_TOOL_ERRORS_H

#include <stdexcept>
#include <string>

namespace qdupk {

// Exit statuses every command shares; search, status, upload and rollout
// add their own from 3 on.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message, int status = kExitFailed)
        : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

  private:
    int status_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ERRORS_H
