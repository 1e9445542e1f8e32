#include "boot_env_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "child_process.h"
#include "qd_text.h"
#include "test_support.h"

namespace qdtest {

namespace {

constexpr std::chrono::milliseconds kToolTime{10000};

std::string Run(const std::vector<std::string>& argv) {
    const CommandResult result = RunCommand(argv, kToolTime);
    EXPECT_EQ(result.status, 0) << argv[0] << ": " << result.output;
    return result.output;
}

}  // namespace

FileBackedEnv::FileBackedEnv(const std::string& dir, const std::string& vars)
    : dir_(dir), config_(dir + "/fw_env.config"), copies_{dir + "/env0", dir + "/env1"} {
    WriteFile(dir_ + "/env.txt", vars);
    std::string config;
    for (const std::string& copy : copies_) {
        Run({"mkenvimage", "-r", "-s", "0x4000", "-o", copy, dir_ + "/env.txt"});
        config += copy + " 0x0 0x4000\n";
    }
    WriteFile(config_, config);
}

BootenvConfig FileBackedEnv::Settings(const std::string& cmdline) const {
    BootenvConfig boot{};
    boot.bPresent = true;
    boot.nHealthTimeoutS = kDefaultHealthTimeoutS;
    EXPECT_TRUE(qd::CopyText(boot.szConfig, config_.c_str()));
    EXPECT_TRUE(qd::CopyText(boot.szCmdline, cmdline.c_str()));
    return boot;
}

std::map<std::string, std::string> FileBackedEnv::Vars() const {
    std::map<std::string, std::string> vars;
    std::istringstream lines(Run({"fw_printenv", "-c", config_}));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            vars[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return vars;
}

std::string FileBackedEnv::Var(const std::string& name) const {
    const auto vars = Vars();
    const auto found = vars.find(name);
    return found == vars.end() ? "<unset>" : found->second;
}

void FileBackedEnv::Set(const std::string& script) const {
    WriteFile(dir_ + "/set.txt", script);
    Run({"fw_setenv", "-c", config_, "-s", dir_ + "/set.txt"});
}

std::string FileBackedEnv::Bytes() const {
    return ReadFile(copies_[0]) + ReadFile(copies_[1]);
}

}  // namespace qdtest
