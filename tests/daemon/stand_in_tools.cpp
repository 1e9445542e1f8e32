#include "stand_in_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "child_process.h"
#include "test_support.h"

namespace qdtest {

StandInTools::StandInTools(const std::string& dir)
    : bin_(dir + "/bin"), calls_(dir + "/calls.log") {
    EXPECT_EQ(mkdir(bin_.c_str(), 0755), 0) << bin_;
    const char* path = std::getenv("PATH");
    previousPath_ = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (bin_ + ":" + previousPath_).c_str(), 1);
}

StandInTools::~StandInTools() {
    setenv("PATH", previousPath_.c_str(), 1);
}

void StandInTools::Add(const std::string& tool, const std::string& body) const {
    WriteFile(bin_ + "/" + tool, "#!/bin/sh\n" + body + "\n");
    EXPECT_EQ(chmod((bin_ + "/" + tool).c_str(), 0755), 0) << tool;
}

void StandInTools::Logging(const std::string& tool) const {
    Add(tool, "echo \"${0##*/} $*\" >> '" + calls_ + "'");
}

bool StandInTools::First(const std::string& tool) const {
    return RunCommand({"sh", "-c", "command -v " + tool}, std::chrono::seconds(5)).output ==
           bin_ + "/" + tool + "\n";
}

std::string StandInTools::Calls() const {
    return FileExists(calls_) ? ReadFile(calls_) : "";
}

}  // namespace qdtest
