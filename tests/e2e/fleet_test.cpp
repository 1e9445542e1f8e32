// A site's worth of cameras on one virtual LAN (scripts/vlan.sh): the LAN
// itself (searches across the bridge, reboots that come back, refusing and
// absent cameras), and qdupk rollout across it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package_writer.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_lan.h"

namespace qdtest {
namespace {

const std::string kSettings = "brightness=40\n";
const char kMcuResetFrame[] = "RX A0 01 00 57 AA 00 AF F3";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool HasCall(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// A kernel image, a settings file at the LAN's shared destination and MCU
// firmware: every kind of effect a camera's stand-ins record.
std::string WritePackage(const ScratchDir& dir, const VirtualLan& lan) {
    const std::string path = dir.file("site.upg");
    WriteFile(path,
              qdupk::BuildPackage(
                  {"site",
                   "3.1",
                   "IPC-1",
                   {qdupk::DataItem(QDUPK_ITEM_KERNEL, std::string(40000, 'k')),
                    qdupk::DataItem(QDUPK_ITEM_FILE, kSettings, lan.sharedDest() + "/settings.ini"),
                    qdupk::DataItem(QDUPK_ITEM_MCUARM, std::string(3000, 'm'))}}));
    return path;
}

// Installed, synced, MCU reset, rebooted, and started again by the rig.
::testing::AssertionResult Upgraded(const VirtualLan& lan, int i) {
    const std::string& rigLog = lan.camera(i).info.rigLog;
    if (!PollUntil(Millis(20000), [&] { return Contains(ReadFile(rigLog), "rebooting"); })) {
        return ::testing::AssertionFailure() << lan.camera(i).info.name << " did not reboot";
    }
    const std::vector<std::string> calls = lan.Calls(i);
    for (const char* call : {"flash_eraseall /dev/mtd2", "killall ipcam_main", "sync", "reboot"}) {
        if (!HasCall(calls, call)) {
            return ::testing::AssertionFailure() << lan.camera(i).info.name << ": no " << call;
        }
    }
    if (!Contains(lan.McuFrames(i), kMcuResetFrame)) {
        return ::testing::AssertionFailure() << lan.camera(i).info.name << ": no MCU reset";
    }
    if (ReadFile(lan.camera(i).dest + "/settings.ini") != kSettings) {
        return ::testing::AssertionFailure() << lan.camera(i).info.name << ": file not installed";
    }
    return ::testing::AssertionSuccess();
}

class Fleet : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
    }

    static CommandResult Qdupk(const VirtualLan& lan, std::vector<std::string> args,
                               Millis timeout = Millis(60000)) {
        args.insert(args.begin(), QDUPK_EXE);
        return lan.Pc(args, timeout);
    }

    ScratchDir scratch_;
};

TEST_F(Fleet, LanCamerasAnswerAcrossTheBridgeRebootAndComeBack) {
    VirtualLan lan(3);
    lan.Start(0);
    lan.Start(1, /*refuse=*/true);  // the third camera runs no daemon
    ASSERT_TRUE(lan.WaitServing());
    const std::string package = WritePackage(scratch_, lan);

    CommandResult r = Qdupk(lan, {"search", "--interface", "pc0", "--timeout", "1"});
    EXPECT_EQ(r.status, 0) << r.output;
    const auto address = [&](int i) { return lan.camera(i).info.devAddr + " "; };
    EXPECT_TRUE(Contains(r.output, address(0)) && Contains(r.output, address(1))) << r.output;
    EXPECT_FALSE(Contains(r.output, address(2))) << r.output;

    r = Qdupk(lan, {"upload", lan.camera(0).target, package});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Upgraded(lan, 0)) << lan.Log(0);
    // The rig's reboot is observable: after it the daemon serves again.
    EXPECT_TRUE(lan.WaitServing());
    // Each camera has its own destination behind the shared path.
    EXPECT_FALSE(FileExists(lan.sharedDest() + "/settings.ini"));

    r = Qdupk(lan, {"upload", lan.camera(1).target, package});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_FALSE(HasCall(lan.Calls(1), "reboot"));
    EXPECT_FALSE(FileExists(lan.camera(1).dest + "/settings.ini"));

    r = Qdupk(lan, {"upload", lan.camera(2).target, package});
    EXPECT_EQ(r.status, 4) << r.output;
}

}  // namespace
}  // namespace qdtest
