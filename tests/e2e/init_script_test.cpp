// The example init script etc/init.d/qdboot driving the real daemon on a
// virtual camera. A driver script takes the daemon's place in the rig, so
// the init script and the daemon it starts stay inside the camera's
// namespaces with the stand-in tools first in PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace {

using qdtest::Millis;
using qdtest::VirtualCamera;

const Millis kStepTimeout(20000);

class InitScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!qdtest::FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
        cam_.emplace();
    }

    std::string Work(const std::string& name) const { return cam_->info().workDir + "/" + name; }

    // Runs the init script with each action in turn, printing "<action>=<exit
    // status>"; "wait" pauses until the test creates the file "go".
    void Drive(const qdtest::ConfigOptions& options, const std::string& actions) {
        qdtest::WriteFile(Work("defaults"),
                          "QDBOOT_DAEMON='" + VirtualCamera::DefaultDaemon() + "'\n" +
                              "QDBOOT_CONFIG='" + cam_->WriteConfig(options) + "'\n" +
                              "QDBOOT_LOG='" + Work("qdboot.log") + "'\n" + "QDBOOT_PIDFILE='" +
                              Work("qdboot.pid") + "'\nQDBOOT_STOP_WAIT=15\n");
        qdtest::WriteFile(Work("drive.sh"), "#!/bin/sh\nexport QDBOOT_DEFAULTS='" +
                                                Work("defaults") + "'\nfor a in " + actions +
                                                "; do\n"
                                                "  if [ $a = wait ]; then\n"
                                                "    while [ ! -e '" +
                                                Work("go") +
                                                "' ]; do sleep 0.1; done; continue\n"
                                                "  fi\n"
                                                "  sh '" QD_SOURCE_DIR
                                                "/etc/init.d/qdboot' $a; echo \"$a=$?\"\n"
                                                "done\n");
        ASSERT_EQ(::chmod(Work("drive.sh").c_str(), 0755), 0);
        cam_->UseDaemon(Work("drive.sh"));
        cam_->Start();
    }

    std::optional<VirtualCamera> cam_;
};

TEST_F(InitScriptTest, StartStatusAndStopWithSigterm) {
    const qdtest::ConfigOptions options;
    qdtest::WriteFile(Work("qdboot.log"), "earlier run\n");
    Drive(options, "status start start status wait stop status stop");

    ASSERT_TRUE(cam_->WaitForLog("status=0\n", kStepTimeout)) << cam_->Log();
    const std::string log = cam_->Log();
    EXPECT_NE(log.find("not running\nstatus=3\n"), std::string::npos) << log;
    EXPECT_NE(log.find("started (pid "), std::string::npos) << log;
    EXPECT_NE(log.find("already running (pid "), std::string::npos) << log;
    const std::string pid = qdtest::ReadFile(Work("qdboot.pid"));
    EXPECT_NE(log.find("running (pid " + pid.substr(0, pid.find('\n')) + ")\nstatus=0"),
              std::string::npos)
        << log;
    EXPECT_TRUE(qdtest::PollUntil(Millis(5000), [&] {
        return cam_->Listening(static_cast<std::uint16_t>(options.port));
    })) << "the daemon the script started does not serve";

    qdtest::WriteFile(Work("go"), "");
    ASSERT_EQ(cam_->WaitExit(kStepTimeout), 0) << cam_->Log();
    const std::string end = cam_->Log().substr(log.size());
    EXPECT_EQ(end,
              "qdboot: stopped\nstop=0\nqdboot: not running\nstatus=3\n"
              "qdboot: not running\nstop=0\n");
    EXPECT_FALSE(qdtest::FileExists(Work("qdboot.pid")));
    EXPECT_EQ(qdtest::ReadFile(Work("qdboot.log")).rfind("earlier run\n", 0), 0u)
        << "the log is appended to, not replaced";
}

TEST_F(InitScriptTest, RefusedConfigurationFailsTheStart) {
    qdtest::ConfigOptions options;
    options.baud = 19200;
    Drive(options, "start status");
    ASSERT_EQ(cam_->WaitExit(kStepTimeout), 0) << cam_->Log();
    EXPECT_NE(cam_->Log().find("ended at start; check "), std::string::npos) << cam_->Log();
    EXPECT_NE(cam_->Log().find("start=1\nqdboot: not running\nstatus=3\n"), std::string::npos)
        << cam_->Log();
    EXPECT_FALSE(qdtest::FileExists(Work("qdboot.pid")));
}

}  // namespace
