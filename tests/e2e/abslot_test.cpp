// A camera with A/B flash and the boot journal (scripts/abcam.sh): the boot
// loader stand-in runs the shipped boot script before every start of the
// daemon, and each way an upgrade can end is followed through the
// environment the boot loader and the daemon share. A camera with one slot
// and a recovery system is followed through a power cut.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace qdtest {
namespace {

const std::string kAbcam = QD_SOURCE_DIR "/scripts/abcam.sh";
const std::string kBin = QD_BINARY_DIR "/bin";
constexpr Millis kUpgradeTime(60000);

class AbCamera : public ::testing::Test {
  protected:
    void SetUp() override { Prepare({}, false); }

    // The camera set up by abcam.sh with these options; with the boot hook
    // and reboot loop, and the power-cut layer when asked for.
    void Prepare(const std::vector<std::string>& options, bool powerCuts) {
        QD_SKIP_WITHOUT_RIG();
        const std::string missing = MissingPiece();
        if (!missing.empty()) {
            GTEST_SKIP() << "A/B camera: " << missing;
        }
        cam_.emplace();
        // Canonical: the power-cut layer knows the flash files by their
        // resolved paths.
        ws_ = std::filesystem::canonical(cam_->info().workDir + "/..").string();
        std::vector<std::string> setup = {"setup", ws_, kBin};
        setup.insert(setup.end(), options.begin(), options.end());
        Script(setup);
        for (const std::string& line : Lines(ReadFile(ws_ + "/ab/vcam.env"))) {
            if (powerCuts || line.rfind("VCAM_", 0) == 0) {
                cam_->AddEnvironment(line);
            }
        }
        cam_->AddEnvironment("VCAM_MCU_SIM=" + kBin + "/mcu-sim");
    }

    // The boot script and its stand-in, and a daemon that keeps the boot
    // journal; empty when all are there.
    static std::string MissingPiece() {
        for (const char* file : {"/scripts/bootloader-shim.sh", "/doc/qdboot-boot.cmd"}) {
            if (!FileExists(QD_SOURCE_DIR + std::string(file))) {
                return std::string("no ") + (file + 1) + " in this tree";
            }
        }
        if (ReadFile(VirtualCamera::DefaultDaemon()).find("qd_state") == std::string::npos) {
            return "the daemon keeps no boot journal";
        }
        return {};
    }

    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            lines.push_back(text.substr(at, end - at));
        }
        return lines;
    }

    std::string Script(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {"/bin/sh", kAbcam};
        argv.insert(argv.end(), args.begin(), args.end());
        const CommandResult r = RunCommand(argv, Millis(30000));
        EXPECT_EQ(r.status, 0) << r.output;
        return r.output;
    }

    // The environment's qd_ variables, the last boot and the slots' images.
    std::map<std::string, std::string> State() const {
        return ParseKeyValues(Script({"state", ws_}));
    }

    // Starts the camera on the old firmware and uploads version 2 with the
    // given behaviour.
    void Upgrade(const std::string& behaviour) {
        Script({"package", ws_ + "/pkg", "2", behaviour, kBin});
        ASSERT_NO_FATAL_FAILURE(StartServing());
        Upload();
    }

    void StartServing() {
        cam_->Start({ws_ + "/work/qdboot.cfg"});
        ASSERT_TRUE(PollUntil(Millis(20000), [&] { return cam_->Listening(8080); }))
            << ReadFile(cam_->info().rigLog) << cam_->Log();
    }

    std::vector<std::string> UploadCommand() const {
        return {kBin + "/qdupk",      "upload",    cam_->info().devAddr + ":8080",
                ws_ + "/pkg/pkg.upg", "--timeout", "60"};
    }

    void Upload() {
        const CommandResult up = cam_->Pc(UploadCommand(), Millis(90000));
        ASSERT_EQ(up.status, 0) << up.output << cam_->Log();
    }

    // Polls until the journal and the running system say what is expected.
    ::testing::AssertionResult Ends(const std::string& state, const std::string& slot,
                                    const std::string& lastBoot) const {
        std::map<std::string, std::string> seen;
        const bool reached = PollUntil(kUpgradeTime, [&] {
            seen = State();
            return seen["qd_state"] == state && seen["qd_slot"] == slot &&
                   seen["lastboot"].find(lastBoot) != std::string::npos;
        });
        if (reached) {
            return ::testing::AssertionSuccess();
        }
        auto failure = ::testing::AssertionFailure();
        for (const auto& [key, value] : seen) {
            failure << key << "=" << value << "\n";
        }
        return failure << ReadFile(cam_->info().rigLog) << cam_->Log();
    }

    std::optional<VirtualCamera> cam_;
    std::string ws_;
};

TEST_F(AbCamera, NewFirmwareThatProvesItsBootBecomesGood) {
    Upgrade("ok");
    EXPECT_TRUE(Ends("good", "b", "slot=b version=2 behaviour=ok"));
    EXPECT_EQ(State()["rootfs_a"], "1/ok") << "the running slot is never written";
}

TEST_F(AbCamera, FailedHealthCheckIsBadAndTheOldSlotBootsAgain) {
    Upgrade("health-fail");
    EXPECT_TRUE(Ends("bad", "a", "slot=a version=1 behaviour=ok"));
}

TEST_F(AbCamera, FirmwareThatNeverStartsTheDaemonIsRolledBackAfterItsTries) {
    Upgrade("no-daemon");
    EXPECT_TRUE(Ends("rolledback", "a", "slot=a version=1 behaviour=ok"));
    const std::map<std::string, std::string> state = State();
    // The trial slot booted once per try, then the old slot once more.
    EXPECT_EQ(state.at("boots"), "5");
}

// One slot and a recovery system, with the power-cut layer over the flash.
class OneSlotCamera : public AbCamera {
  protected:
    void SetUp() override {
        Prepare({"--recovery"}, true);
        if (!IsSkipped() &&
            ReadFile(VirtualCamera::DefaultDaemon()).find("--recovery") == std::string::npos) {
            GTEST_SKIP() << "the daemon has no recovery system";
        }
    }

    // The upgrade without a cut, up to its acknowledgement: the event of the
    // middle erase block written to slot a's kernel. The flash goes back as
    // setup left it.
    std::string KernelWriteEvent() {
        StartServing();
        Upload();
        PowerOff();
        std::vector<std::string> writes;
        for (const std::string& line : Lines(ReadFile(ws_ + "/powercut/events"))) {
            std::istringstream words(line);
            std::string event, kind, file;
            if (words >> event >> kind >> file && kind == "write" && file == "kernel_a") {
                writes.push_back(event);
            }
        }
        Script({"reset", ws_, kBin});
        return writes.empty() ? std::string() : writes[writes.size() / 2];
    }

    // Ends every process of the camera.
    void PowerOff() {
        cam_->Stop();
        EXPECT_TRUE(PollUntil(Millis(30000), [&] {
            return RunCommand({"ip", "netns", "pids", cam_->info().devNs}, Millis(5000))
                .output.empty();
        }));
    }

    // The upload, and the power cut at the layer's cut point during it: every
    // process of the camera ends, the flash goes back to its last flush.
    void CutDuringUpload() {
        ASSERT_NO_FATAL_FAILURE(StartServing());
        ChildProcess upload;
        upload.Start(InNetNs(cam_->info().pcNs, UploadCommand()));
        const std::string mark = ws_ + "/powercut/cut";
        ASSERT_TRUE(PollUntil(Millis(60000), [&] {
            return FileExists(mark) && !ReadFile(mark).empty();
        })) << cam_->Log();
        upload.Kill();
        PowerOff();
        const CommandResult rollback = RunCommand(
            {kBin + "/qd-powercut", "rollback", ws_ + "/flash", ws_ + "/powercut"}, Millis(30000));
        ASSERT_EQ(rollback.status, 0) << rollback.output;
    }
};

TEST_F(OneSlotCamera, CutDuringTheKernelWriteEndsInRecoveryThatTakesThePackageAgain) {
    Script({"package", ws_ + "/pkg", "2", "ok", kBin});
    const std::string at = KernelWriteEvent();
    ASSERT_FALSE(at.empty()) << "the upgrade wrote nothing to kernel_a";
    cam_->AddEnvironment("QD_POWERCUT_AT=" + at);
    ASSERT_NO_FATAL_FAILURE(CutDuringUpload());
    cam_->RemoveEnvironment("QD_POWERCUT_AT");

    ASSERT_NO_FATAL_FAILURE(StartServing());
    EXPECT_TRUE(Ends("failed", "a", "slot=recovery"));
    const CommandResult status =
        cam_->Pc({kBin + "/qdupk", "status", cam_->info().devAddr + ":8080"});
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find("(recovery)"), std::string::npos) << status.output;

    Upload();
    EXPECT_TRUE(Ends("good", "a", "slot=a version=2 behaviour=ok"));
}

}  // namespace
}  // namespace qdtest
