// The MCU updater's failures: nothing to send, a silent loader, refusals and
// an abort, each ending in -1 with no frame beyond the failing phase.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "QDComm.h"
#include "mdu_sim_run.h"
#include "mdu_uptarm.h"
#include "test_timing.h"

using qdtest::Bytes;
using qdtest::LoggedFrame;

namespace {

int CountWithCode(const std::vector<LoggedFrame>& frames, unsigned char first, unsigned char code) {
    return static_cast<int>(std::count_if(frames.begin(), frames.end(), [&](const LoggedFrame& f) {
        return f.bytes.size() > 1 && f.bytes[0] == first && f.bytes[1] == code;
    }));
}

class MduFailure : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(qdtest::InstallKillallStandIn(dir_)); }

    int Update(const std::string& device, const std::string& file) {
        qdtest::StdoutCapture quiet;
        return mdu_updatearm(device.c_str(), QD_COMM_BITRATE_115200, "mainapp", 1, file.c_str());
    }

    std::string WriteImage(std::size_t size) {
        qdtest::WriteBytes(dir_.file("mcu.bin"), Bytes(size, 0x5A));
        return dir_.file("mcu.bin");
    }

    qdtest::ScratchDir dir_;
};

}  // namespace

// The application is stopped and the MCU reset before the file is looked at;
// then nothing more goes out.
TEST_F(MduFailure, EmptyMissingOrOversizedFileSendsOnlyTheResetFrame) {
    qdtest::McuSimRun sim(dir_);
    EXPECT_EQ(Update(sim.slavePath(), WriteImage(0)), -1);
    EXPECT_EQ(Update(sim.slavePath(), dir_.file("missing.bin")), -1);
    // A sparse file just past what the 16-bit block counter can announce.
    const std::string big = dir_.file("big.bin");
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{32767} * 1024), 0);
    close(fd);
    EXPECT_EQ(Update(sim.slavePath(), big), -1);

    const std::vector<LoggedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 3u) << sim.Log();
    for (const LoggedFrame& f : frames) {
        EXPECT_EQ(f.bytes, qdtest::ResetFrame());
    }
    EXPECT_EQ(qdtest::KillallCalls(dir_), "mainapp\nmainapp\nmainapp\n");
}

TEST_F(MduFailure, UnopenableDeviceOrNullPathsLeaveNoLine) {
    EXPECT_EQ(mdu_updatearm(nullptr, 9, "mainapp", 1, "x"), -1);
    EXPECT_EQ(mdu_updatearm("/dev/null", 9, "mainapp", 1, nullptr), -1);
    EXPECT_EQ(qdtest::KillallCalls(dir_), "");
    EXPECT_EQ(Update(dir_.file("no-such-tty"), WriteImage(10)), -1);
    EXPECT_EQ(qdtest::KillallCalls(dir_), "mainapp\n");
    EXPECT_EQ(mdu_arm_reset(), -1);
}

// Twenty reset frames about 520 ms apart (500 ms wait, 20 ms pause) after
// the one of the reset call, then -1 and silence.
TEST_F(MduFailure, LoaderThatNeverAnswers) {
    qdtest::McuSimRun sim(dir_, {"--mute"});
    EXPECT_EQ(Update(sim.slavePath(), WriteImage(100)), -1);
    const std::vector<LoggedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 21u) << sim.Log();
    for (const LoggedFrame& f : frames) {
        EXPECT_EQ(f.bytes, qdtest::ResetFrame());
    }
    const double spacing = (frames[20].seconds - frames[1].seconds) / 19;
    EXPECT_GT(spacing, 0.50);
    // 520 ms plus what the machine adds, which a slower build stretches.
    EXPECT_LT(spacing, 0.52 + 0.18 * qdtest::TimeScale());
}

TEST_F(MduFailure, AbortOnADataBlockEndsWithoutEndRequest) {
    qdtest::McuSimRun sim(dir_, {"--abort-block", "2"});
    EXPECT_EQ(Update(sim.slavePath(), WriteImage(3000)), -1);
    const std::vector<LoggedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 6u) << sim.Log();
    EXPECT_EQ(frames[4].bytes, qdtest::DataBlock(1, Bytes(1024, 0x5A)));
    EXPECT_EQ(frames[5].bytes, qdtest::DataBlock(2, Bytes(1024, 0x5A)));
    EXPECT_EQ(CountWithCode(frames, 0xA5, 0xFA), 0);
}

TEST_F(MduFailure, HeaderRefusedTenTimes) {
    qdtest::McuSimRun sim(dir_, {"--refuse-header"});
    EXPECT_EQ(Update(sim.slavePath(), WriteImage(1500)), -1);
    const std::vector<LoggedFrame> frames = sim.Frames();
    EXPECT_EQ(CountWithCode(frames, 0xA5, 0xF7), 10) << sim.Log();
    EXPECT_EQ(CountWithCode(frames, 0xA5, 0xF8), 0);
    EXPECT_EQ(CountWithCode(frames, 0xA5, 0xFA), 0);
    EXPECT_EQ(frames.size(), 13u);
}
