// The power-cut layer seen from processes that write through it: what a
// roll-back keeps (flushed blocks), what it loses (unflushed ones), the
// half-written block in flight, and cut points counted across processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"
#include "test_timing.h"

namespace qdtest {
namespace {

constexpr std::size_t kBlock = 65536;
const std::string kFlashSim = QD_BINARY_DIR "/bin/qd-flashsim";
const std::string kPowerCut = QD_BINARY_DIR "/bin/qd-powercut";
const std::string kShim = QD_BINARY_DIR "/lib/libqdpowercut.so";

std::string Filled(char c, std::size_t blocks) {
    return std::string(blocks * kBlock, c);
}

// Preloaded, the layer comes before the sanitizer runtime of an
// instrumented tool, which would refuse to start without this.
std::string SanitizerOptions() {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string before = inherited != nullptr ? std::string(inherited) + ":" : "";
    return "ASAN_OPTIONS=" + before + "verify_asan_link_order=0";
}

class PowerCutLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(flash_.c_str(), 0755), 0);
        WriteFile(Part("p"), Filled('o', 4));
        WriteFile(Part("q"), Filled('o', 2));
        WriteFile(image_, Filled('n', 4));
        Tool({kPowerCut, "snapshot", flash_, state_});
    }

    std::string Part(const std::string& name) const { return flash_ + "/" + name; }

    std::vector<std::string> Env(int cutAt = 0) const {
        std::vector<std::string> env = {"LD_PRELOAD=" + kShim, "QD_POWERCUT_DIR=" + flash_,
                                        "QD_POWERCUT_STATE=" + state_, SanitizerOptions()};
        if (cutAt != 0) {
            env.push_back("QD_POWERCUT_AT=" + std::to_string(cutAt));
        }
        return env;
    }

    void Tool(const std::vector<std::string>& argv, int cutAt = 0) const {
        const CommandResult r = RunCommand(argv, Millis(20000), Env(cutAt));
        ASSERT_EQ(r.status, 0) << r.output;
    }

    void RollBack() const {
        const CommandResult r = RunCommand({kPowerCut, "rollback", flash_, state_}, Millis(20000));
        ASSERT_EQ(r.status, 0) << r.output;
    }

    // Runs argv until the layer stops it at event cutAt; the test then
    // ends it, as the rig ends every process of a camera.
    void CutAt(const std::vector<std::string>& argv, int cutAt) const {
        ChildProcess child;
        child.Start(argv, Env(cutAt));
        const std::string mark = state_ + "/cut";
        ASSERT_TRUE(PollUntil(Millis(20000), [&] { return FileExists(mark); }));
        EXPECT_TRUE(child.Running()) << "a process past its cut point must never go on";
        child.Kill();
    }

    ScratchDir dir_;
    std::string flash_ = dir_.file("flash");
    std::string state_ = dir_.file("state");
    std::string image_ = dir_.file("image");
};

TEST_F(PowerCutLayer, FlushedBlocksSurviveUnflushedOnesAreLostTheLastHalfWritten) {
    Tool({kFlashSim, "-p", Part("p"), image_});
    RollBack();
    EXPECT_EQ(ReadFile(Part("p")), Filled('n', 4)) << "every block was flushed";

    // dd writes without a flush: nothing of it is durable but the first
    // half of the block in flight when the power went.
    WriteFile(image_, Filled('x', 2));
    Tool({"dd", "if=" + image_, "of=" + Part("p"), "bs=65536", "conv=notrunc", "status=none"});
    EXPECT_EQ(ReadFile(Part("p")).substr(0, 2 * kBlock), Filled('x', 2)) << "before the cut";
    RollBack();
    const std::string expected = Filled('n', 1) + std::string(kBlock / 2, 'x') +
                                 std::string(kBlock / 2, 'n') + Filled('n', 2);
    EXPECT_EQ(ReadFile(Part("p")), expected);
}

TEST_F(PowerCutLayer, SyncMakesEveryFileDurable) {
    WriteFile(image_, Filled('s', 1));
    Tool({"dd", "if=" + image_, "of=" + Part("q"), "bs=65536", "conv=notrunc", "status=none"});
    Tool({"sync"});
    RollBack();
    EXPECT_EQ(ReadFile(Part("q")), Filled('s', 1) + Filled('o', 1));
}

TEST_F(PowerCutLayer, CutStopsInsideTheBlockAndRollBackKeepsHalfOfIt) {
    CutAt({kFlashSim, "-p", Part("p"), image_}, 3);
    const std::string beforeRollBack = ReadFile(Part("p"));
    EXPECT_EQ(beforeRollBack.substr(3 * kBlock), Filled('o', 1)) << "nothing after the cut";
    RollBack();
    const std::string expected = Filled('n', 2) + std::string(kBlock / 2, 'n') +
                                 std::string(kBlock / 2, 'o') + Filled('o', 1);
    EXPECT_EQ(ReadFile(Part("p")), expected);
    EXPECT_FALSE(FileExists(state_ + "/cut")) << "a roll-back starts the count over";
}

TEST_F(PowerCutLayer, EventsAreCountedAcrossProcesses) {
    // Erasing q takes events 1 and 2 in one process; the cut at 4 falls on
    // the second block another process programs into p.
    Tool({kFlashSim, Part("q")}, 4);
    CutAt({kFlashSim, "-p", Part("p"), image_}, 4);
    const std::string events = ReadFile(state_ + "/events");
    EXPECT_NE(events.find("1 write q 0 65536"), std::string::npos) << events;
    EXPECT_NE(events.find("4 write p 65536 65536"), std::string::npos) << events;
    EXPECT_EQ(ReadFile(state_ + "/cut").rfind("4 cut p 65536", 0), 0U);
    RollBack();
    EXPECT_EQ(ReadFile(Part("q")), std::string(2 * kBlock, '\xff'));
    EXPECT_EQ(ReadFile(Part("p")), Filled('n', 1) + std::string(kBlock / 2, 'n') +
                                       std::string(kBlock / 2, 'o') + Filled('o', 2));
}

}  // namespace
}  // namespace qdtest
