// A site's worth of cameras on one virtual LAN (scripts/vlan.sh): the LAN
// itself (searches across the bridge, reboots that come back, refusing and
// absent cameras), and qdupk rollout across it, to cameras that write their
// images in place and to A/B cameras whose new firmware must confirm.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>
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
    std::string path = dir.file("site.upg");
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

// Firmware 2 for A/B cameras: the rig's kernel and root file system images
// (scripts/abcam.sh), which boot and pass the firmware's own health check.
std::string WriteAbPackage(const ScratchDir& dir) {
    const std::string abcam = QD_SOURCE_DIR "/scripts/abcam.sh";
    for (const std::vector<std::string>& image :
         {std::vector<std::string>{"kernel", "2", dir.file("kernel.img")},
          std::vector<std::string>{"rootfs", "2", "ok", dir.file("rootfs.img")}}) {
        std::vector<std::string> argv = {"/bin/sh", abcam};
        argv.insert(argv.end(), image.begin(), image.end());
        const CommandResult r = RunCommand(argv, Millis(30000));
        EXPECT_EQ(r.status, 0) << r.output;
    }
    std::string path = dir.file("ab.upg");
    WriteFile(path, qdupk::BuildPackage(
                        {"ab",
                         "2.0",
                         "vlan-camera",
                         {qdupk::DataItem(QDUPK_ITEM_KERNEL, ReadFile(dir.file("kernel.img"))),
                          qdupk::DataItem(QDUPK_ITEM_ROOTFS, ReadFile(dir.file("rootfs.img")))}}));
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

// The report's entries by address.
std::map<std::string, nlohmann::json> ReportByAddress(const std::string& path) {
    const nlohmann::json report = nlohmann::json::parse(ReadFile(path));
    std::map<std::string, nlohmann::json> entries;
    for (const nlohmann::json& entry : report.at("targets")) {
        entries[entry.at("address").get<std::string>()] = entry;
    }
    return entries;
}

// The most uploads in flight at once, from the --json events: an upload
// runs from its start to its acknowledgement or its result.
int MostAtOnce(const std::string& events) {
    std::map<std::string, bool> running;
    std::size_t most = 0;
    std::istringstream in(events);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("address")) {
            continue;
        }
        const std::string kind = event.at("event").get<std::string>();
        const std::string address = event.at("address").get<std::string>();
        if (kind == "start") {
            running[address] = true;
        } else if (kind == "acknowledged" || kind == "result" || kind == "retry") {
            running.erase(address);
        }
        most = std::max(most, running.size());
    }
    return static_cast<int>(most);
}

// Result and attempts of one report entry, as "refused/1".
std::string Outcome(const std::map<std::string, nlohmann::json>& report,
                    const std::string& target) {
    const auto it = report.find(target);
    if (it == report.end()) {
        return "(not in the report)";
    }
    return it->second.at("result").get<std::string>() + "/" +
           std::to_string(it->second.at("attempts").get<int>());
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
    // The second camera refuses; the third runs no daemon.
    ASSERT_TRUE(lan.Start({"--refuse", "2", "--absent", "3"}));
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

// The settings file signed with KEY (none: unsigned) and COUNTER by qdupk.
std::string PackSigned(const ScratchDir& dir, const VirtualLan& lan, const std::string& key,
                       const std::string& counter) {
    WriteFile(dir.file("settings.ini"), kSettings);
    WriteFile(dir.file("sealed.ini"),
              "[package]\nname=sealed\nversion=1\ndevid=IPC-1\n"
              "[item1]\ntype=file\nsource=settings.ini\ndest=" +
                  lan.sharedDest() + "/settings.ini\n");
    const std::string out = dir.file("sealed-" + (key.empty() ? "none" : counter) + ".upg");
    std::vector<std::string> argv = {QDUPK_EXE, "pack", dir.file("sealed.ini"), "-o", out};
    if (!key.empty()) {
        argv.insert(argv.end(), {"--key", key, "--counter", counter});
    }
    const CommandResult r = RunCommand(argv, Millis(30000));
    EXPECT_EQ(r.status, 0) << r.output;
    return out;
}

TEST_F(Fleet, SealedCamerasTakeOnlyNewerSignedPackagesAndARefusingOneTakesNone) {
    VirtualLan lan(2);
    const CommandResult key =
        RunCommand({QDUPK_EXE, "keygen", scratch_.file("site")}, Millis(30000));
    ASSERT_EQ(key.status, 0) << key.output;
    ASSERT_TRUE(lan.Start(
        {"--seal-key", scratch_.file("site.pub"), "--counter", "5", "--refuse-all", "2"}));
    const std::string newer = PackSigned(scratch_, lan, scratch_.file("site.key"), "6");

    for (const std::string& refused : {PackSigned(scratch_, lan, "", ""),
                                       PackSigned(scratch_, lan, scratch_.file("site.key"), "4")}) {
        const CommandResult r = Qdupk(lan, {"upload", lan.camera(0).target, refused});
        EXPECT_EQ(r.status, 3) << refused << "\n" << r.output;
    }
    CommandResult r = Qdupk(lan, {"upload", lan.camera(1).target, newer});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_FALSE(FileExists(lan.camera(1).dest + "/settings.ini"));

    r = Qdupk(lan, {"upload", lan.camera(0).target, newer});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(ReadFile(lan.camera(0).dest + "/settings.ini"), kSettings);
    EXPECT_EQ(ReadFile(lan.camera(0).workspace + "/work/qdboot.counter"), "6\n");
}

TEST_F(Fleet, RolloutToEightFoundCamerasInstallsEverywhereAndEachComesBack) {
    VirtualLan lan(8);
    ASSERT_TRUE(lan.Start());
    const std::string package = WritePackage(scratch_, lan);
    const std::string report = scratch_.file("site.json");

    const CommandResult r =
        Qdupk(lan,
              {"rollout", package, "--search", "--interface", "pc0", "--search-timeout", "1",
               "--parallel", "3", "--wait-return", "30", "--json", "--report", report},
              Millis(180000));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(MostAtOnce(r.output), 3) << r.output;
    const auto entries = ReportByAddress(report);
    EXPECT_EQ(entries.size(), 8U) << ReadFile(report);
    for (int i = 0; i < lan.size(); ++i) {
        SCOPED_TRACE(lan.camera(i).target);
        EXPECT_TRUE(Upgraded(lan, i)) << lan.Log(i);
        ASSERT_EQ(entries.count(lan.camera(i).target), 1U) << ReadFile(report);
        const nlohmann::json& entry = entries.at(lan.camera(i).target);
        EXPECT_EQ(Outcome(entries, lan.camera(i).target), "ok/1");
        EXPECT_EQ(entry.at("back"), true);
        EXPECT_GE(entry.at("bytes").get<long long>(),
                  static_cast<long long>(ReadFile(package).size()));
    }
}

// One LAN for every fault: camera 0 refuses, camera 1 stalls, one address
// has no camera, cameras 2 to 5 are well. Camera 5 is never to be reached.
TEST_F(Fleet, RolloutNamesEachFailureAndStopsAtTheCanaryAndTheFailureLimit) {
    VirtualLan lan(6);
    ASSERT_TRUE(lan.Start({"--refuse", "1", "--stall", "2"}));
    const std::string package = WritePackage(scratch_, lan);
    const auto target = [&](int i) { return lan.camera(i).target; };
    const std::string absent = lan.AbsentTarget();

    const std::string mixed = scratch_.file("mixed.json");
    CommandResult r = Qdupk(lan, {"rollout", package, target(0), target(2), target(1), absent,
                                  target(3), "--parallel", "5", "--timeout", "4",
                                  "--connect-timeout", "2", "--retries", "1", "--report", mixed});
    EXPECT_EQ(r.status, 3) << r.output;
    auto entries = ReportByAddress(mixed);
    EXPECT_EQ(entries.size(), 5U) << ReadFile(mixed);
    // Only the connection that was never made is tried again.
    EXPECT_EQ(Outcome(entries, target(0)), "refused/1") << ReadFile(mixed);
    EXPECT_EQ(Outcome(entries, target(1)), "timeout/1") << ReadFile(mixed);
    EXPECT_EQ(Outcome(entries, absent), "no-connection/2") << ReadFile(mixed);
    for (const std::string& failed : {target(0), target(1), absent}) {
        EXPECT_NE(entries[failed].at("reason").get<std::string>(), "") << failed;
    }
    EXPECT_EQ(Outcome(entries, target(2)), "ok/1") << ReadFile(mixed);
    EXPECT_EQ(Outcome(entries, target(3)), "ok/1") << ReadFile(mixed);
    EXPECT_TRUE(Upgraded(lan, 2));
    EXPECT_TRUE(Upgraded(lan, 3));
    EXPECT_FALSE(HasCall(lan.Calls(0), "reboot"));

    const std::string canary = scratch_.file("canary.json");
    r = Qdupk(lan, {"rollout", package, target(0), target(4), target(5), "--canary", "2",
                    "--report", canary});
    EXPECT_EQ(r.status, 4) << r.output;
    entries = ReportByAddress(canary);
    EXPECT_EQ(Outcome(entries, target(0)), "refused/1") << ReadFile(canary);
    EXPECT_EQ(Outcome(entries, target(4)), "ok/1") << ReadFile(canary);
    EXPECT_EQ(Outcome(entries, target(5)), "not-started/0") << ReadFile(canary);

    const std::string limit = scratch_.file("limit.csv");
    r = Qdupk(lan, {"rollout", package, target(0), target(5), "--parallel", "1", "--max-failures",
                    "1", "--report", limit});
    EXPECT_EQ(r.status, 5) << r.output;
    EXPECT_TRUE(Contains(ReadFile(limit), target(5) + ",not-started,")) << ReadFile(limit);

    EXPECT_FALSE(HasCall(lan.Calls(5), "flash_eraseall /dev/mtd2")) << lan.Log(5);
    EXPECT_FALSE(FileExists(lan.camera(5).dest + "/settings.ini"));
}

// A/B cameras; the second one's new firmware fails its health check, so it
// stores bad and its old slot boots again. A rollout that waits for each
// camera counts only the confirmation of the package it sent.
TEST_F(Fleet, RolloutConfirmsHealthyCamerasAndReportsTheRollBack) {
    VirtualLan lan(2, /*bootDelaySeconds=*/1);
    ASSERT_TRUE(lan.Start({"--ab", "--unhealthy", "2"}));
    const std::string package = WriteAbPackage(scratch_);
    const std::string report = scratch_.file("ab.json");

    const CommandResult r =
        Qdupk(lan,
              {"rollout", package, lan.camera(0).target, lan.camera(1).target, "--parallel", "2",
               "--wait-return", "60", "--confirm-timeout", "60", "--report", report},
              Millis(180000));
    EXPECT_EQ(r.status, 3) << r.output;
    ASSERT_TRUE(FileExists(report)) << r.output;
    auto entries = ReportByAddress(report);
    EXPECT_EQ(Outcome(entries, lan.camera(0).target), "ok/1") << ReadFile(report);
    EXPECT_EQ(entries[lan.camera(0).target].value("confirmed", nlohmann::json()), true);
    EXPECT_EQ(Outcome(entries, lan.camera(1).target), "rolled-back/1") << ReadFile(report);
    EXPECT_NE(entries[lan.camera(1).target].at("reason").get<std::string>(), "");
    // Neither outcome came before the camera's own journal said so.
    EXPECT_EQ(lan.BootState(0)["qd_state"], "good") << lan.Log(0);
    EXPECT_EQ(lan.BootState(0)["qd_slot"], "b");
    EXPECT_EQ(lan.BootState(1)["qd_state"], "bad") << lan.Log(1);
}

}  // namespace
}  // namespace qdtest
