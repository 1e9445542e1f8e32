// Child processes for tests: started with a parent-death signal so a test
// run that is killed leaves nothing running, ended only by their own PID.
#ifndef QD_TEST_CHILD_PROCESS_H
#define QD_TEST_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qdtest {

// Exit status as a shell reports it: the exit code, or 128 + the signal.
struct CommandResult {
    int status = -1;  // -1 when the command did not end in time
    bool timedOut = false;
    std::string output;  // standard output and standard error together
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // kills and reaps a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs argv (argv[0] searched in PATH) with "KEY=value" entries added to
    // the environment; output goes to outputFd, or /dev/null when it is -1.
    // The child gets SIGKILL when the calling thread ends, so start children
    // from the test's main thread. Throws std::runtime_error.
    void Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               int outputFd = -1);

    pid_t pid() const { return pid_; }
    bool Running();
    // The exit status once the child has ended within the (scaled) time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // The same, with a deadline the caller has scaled already.
    std::optional<int> WaitUntil(std::chrono::steady_clock::time_point deadline);
    // SIGKILL by PID, then reap; harmless when the child has ended already.
    void Kill();

  private:
    bool Reap(int flags);

    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a command to its end and collects its output; a command still running
// after the (scaled) time-out is killed and reported with timedOut set.
CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& env = {});

}  // namespace qdtest

#endif  // QD_TEST_CHILD_PROCESS_H
