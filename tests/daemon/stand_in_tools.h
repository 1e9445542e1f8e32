// Stand-ins for the programs the daemon runs (flash tools, sync, reboot):
// scripts in a folder of their own, first in PATH while the owner lives, so
// the real ones never run from a test.
#ifndef QD_TEST_STAND_IN_TOOLS_H
#define QD_TEST_STAND_IN_TOOLS_H

#include <string>

namespace qdtest {

class StandInTools {
  public:
    // The folder is `dir`/bin; calls are logged to `dir`/calls.log.
    explicit StandInTools(const std::string& dir);
    ~StandInTools();
    StandInTools(const StandInTools&) = delete;
    StandInTools& operator=(const StandInTools&) = delete;

    // `tool` runs `body` (shell) from now on.
    void Add(const std::string& tool, const std::string& body) const;
    // `tool` appends its name and arguments to the calls log.
    void Logging(const std::string& tool) const;
    // Whether the shell finds the stand-in for `tool` before anything else.
    bool First(const std::string& tool) const;

    std::string path(const std::string& tool) const { return bin_ + "/" + tool; }
    const std::string& callsPath() const { return calls_; }
    // Everything logged so far; "" before the first call.
    std::string Calls() const;

  private:
    std::string bin_;
    std::string calls_;
    std::string previousPath_;
};

}  // namespace qdtest

#endif  // QD_TEST_STAND_IN_TOOLS_H
