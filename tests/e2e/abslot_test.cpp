// A camera with A/B flash and the boot journal (scripts/abcam.sh): the boot
// loader stand-in runs the shipped boot script before every start of the
// daemon, and each way an upgrade can end is followed through the
// environment the boot loader and the daemon share.
#include <gtest/gtest.h>

#include <map>
#include <string>

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
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        const std::string missing = MissingPiece();
        if (!missing.empty()) {
            GTEST_SKIP() << "A/B camera: " << missing;
        }
        cam_.emplace();
        ws_ = cam_->info().workDir + "/..";
        Script({"setup", ws_, kBin});
        // The boot hook and reboot loop only: these paths need no power cut.
        for (const std::string& line : Lines(ReadFile(ws_ + "/ab/vcam.env"))) {
            if (line.rfind("VCAM_", 0) == 0) {
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
        const std::string dir = ws_ + "/pkg";
        Script({"package", dir, "2", behaviour, kBin});
        cam_->Start({ws_ + "/work/qdboot.cfg"});
        ASSERT_TRUE(PollUntil(Millis(20000), [&] { return cam_->Listening(8080); }))
            << ReadFile(cam_->info().rigLog) << cam_->Log();
        const CommandResult up =
            cam_->Pc({kBin + "/qdupk", "upload", cam_->info().devAddr + ":8080", dir + "/pkg.upg",
                      "--timeout", "60"},
                     Millis(90000));
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

}  // namespace
}  // namespace qdtest
