// Whole transfers from the MCU updater to the loader simulator over a
// pseudo-terminal, with the updater's real pauses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "QDComm.h"
#include "mdu_sim_run.h"
#include "mdu_uptarm.h"

using qdtest::Bytes;
using qdtest::LoggedFrame;

namespace {

const Bytes kStartRequest = {0xA5, 0xF6, 0xAA, 0xF9, 0xAF};
const Bytes kEndRequest = {0xA5, 0xFA, 0x00, 0x5F, 0xAF};

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + 7) % 251);
    }
    return bytes;
}

std::vector<Bytes> BytesOf(const std::vector<LoggedFrame>& frames) {
    std::vector<Bytes> out;
    out.reserve(frames.size());
    for (const LoggedFrame& f : frames) {
        out.push_back(f.bytes);
    }
    return out;
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

class MduTransfer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(qdtest::InstallKillallStandIn(dir_)); }

    int Update(const qdtest::McuSimRun& sim, const std::string& file) {
        qdtest::StdoutCapture quiet;
        return mdu_updatearm(sim.slavePath().c_str(), QD_COMM_BITRATE_115200, "mainapp", 1,
                             file.c_str());
    }

    qdtest::ScratchDir dir_;
};

}  // namespace

// Runs first when the whole binary runs in one process: no line is open yet.
TEST(MduReset, BeforeAnyUpdateSendsNothing) {
    EXPECT_EQ(mdu_arm_reset(), -1);
}

TEST_F(MduTransfer, WorkedExampleOf1500Bytes) {
    qdtest::McuSimRun sim(dir_);
    const Bytes image = Pattern(1500);
    qdtest::WriteBytes(dir_.file("mcu.bin"), image);

    EXPECT_EQ(Update(sim, dir_.file("mcu.bin")), 0);

    const std::vector<LoggedFrame> frames = sim.Frames();
    const std::vector<Bytes> expected = {
        qdtest::ResetFrame(),
        qdtest::ResetFrame(),
        kStartRequest,
        {0xA5, 0xF7, 0x00, 0x02, 0x00, 0x00, 0x05, 0xDC, 0x0A, 0x83, 0xAF},
        qdtest::DataBlock(1, Bytes(image.begin(), image.begin() + 1024)),
        qdtest::DataBlock(2, Bytes(image.begin() + 1024, image.end())),
        kEndRequest,
    };
    ASSERT_EQ(BytesOf(frames), expected) << sim.Log();
    EXPECT_EQ(qdtest::DataBlock(2, {}).size(), 1030u);
    // The loader gets half a second after the last block before the end and
    // a tenth after each reset. The simulator stamps a frame when it gets to
    // read it, so on a loaded machine a gap can look shorter than the pause
    // that made it; the margins still catch a pause that is missing.
    EXPECT_GE(frames[6].seconds - frames[5].seconds, 0.4) << sim.Log();
    EXPECT_GE(frames[1].seconds - frames[0].seconds, 0.05) << sim.Log();
    EXPECT_EQ(qdtest::ReadBytes(sim.imagePath()), image);
    EXPECT_EQ(qdtest::KillallCalls(dir_), "mainapp\n");
}

// A size that is a multiple of 1024 announces one block more than it sends;
// the end of the file closes the data phase. A single byte goes out in one
// block filled up with 0x1A. Each update opens the line anew (closing the
// earlier one), and the reset afterwards goes out on the last one.
TEST_F(MduTransfer, ExactKilobyteAndSingleByteImages) {
    qdtest::McuSimRun sim(dir_);
    const Bytes kilobyte = Pattern(1024);
    qdtest::WriteBytes(dir_.file("k.bin"), kilobyte);
    qdtest::WriteBytes(dir_.file("one.bin"), {0x42});

    EXPECT_EQ(Update(sim, dir_.file("k.bin")), 0);
    EXPECT_EQ(qdtest::ReadBytes(sim.imagePath()), kilobyte);
    const std::size_t openAfterFirst = OpenDescriptors();
    EXPECT_EQ(Update(sim, dir_.file("one.bin")), 0);
    EXPECT_EQ(OpenDescriptors(), openAfterFirst) << "the earlier line must be closed";
    EXPECT_EQ(qdtest::ReadBytes(sim.imagePath()), Bytes{0x42});
    EXPECT_EQ(mdu_arm_reset(), 0);

    const std::vector<Bytes> expected = {
        qdtest::ResetFrame(),
        qdtest::ResetFrame(),
        kStartRequest,
        {0xA5, 0xF7, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x5E, 0xAF},
        qdtest::DataBlock(1, kilobyte),
        kEndRequest,
        qdtest::ResetFrame(),
        qdtest::ResetFrame(),
        kStartRequest,
        {0xA5, 0xF7, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x58, 0xAF},
        qdtest::DataBlock(1, {0x42}),
        kEndRequest,
        qdtest::ResetFrame(),
    };
    EXPECT_EQ(BytesOf(sim.Frames()), expected) << sim.Log();
    EXPECT_EQ(qdtest::KillallCalls(dir_), "mainapp\nmainapp\n");
}

// The stray byte puts 0xA5 at position 1 of the five bytes read; the extra
// byte it pushes out is discarded before the next frame.
TEST_F(MduTransfer, StrayByteBeforeEachReplyIsTolerated) {
    qdtest::McuSimRun sim(dir_, {"--stray-byte"});
    const Bytes image = Pattern(2500);
    qdtest::WriteBytes(dir_.file("mcu.bin"), image);
    EXPECT_EQ(Update(sim, dir_.file("mcu.bin")), 0) << sim.Log();
    EXPECT_EQ(sim.Frames().size(), 8u) << sim.Log();
    EXPECT_EQ(qdtest::ReadBytes(sim.imagePath()), image);
}
