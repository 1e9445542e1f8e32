// qdboot serving on a virtual camera: uploads acknowledged and installed,
// failed ones closed without an answer, searches answered to the group, and
// the loop's end on a signal.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mdu_sim_run.h"
#include "package_writer.h"
#include "pc_side.h"
#include "qd_bytes.h"
#include "test_support.h"
#include "virtual_camera.h"

namespace {

using qdtest::ConfigOptions;
using qdtest::Millis;
using qdtest::SearchClient;
using qdtest::UploadConnection;
using qdtest::VirtualCamera;

constexpr std::uint16_t kPort = 8080;
const std::string kAck("\xAA\xCC\xDD\x03\0\0\0\0", 8);
const Millis kUploadTimeout(20000);
const char kRouteCommand[] = "route add -net 224.0.0.0 netmask 224.0.0.0 dev eth0";

using qdupk::DataItem;

std::string Package(std::vector<qdupk::ItemPlan> items) {
    return qdtest::Framed(qdupk::BuildPackage({"pkg", "2.0", "IPC-1", std::move(items)}));
}

std::string FilePackage(const VirtualCamera& cam, const std::string& content) {
    return Package({DataItem(QDUPK_ITEM_FILE, content, cam.info().workDir + "/installed.bin")});
}

// The answer the camera owes a search: port at 8, address text at 12.
std::string Answer(std::string search, const std::string& address) {
    auto* bytes = reinterpret_cast<unsigned char*>(search.data());
    qd::StoreLe32(bytes + 8, kPort);
    std::memcpy(bytes + 12, address.c_str(), address.size() + 1);
    return search.substr(0, 76);
}

std::size_t CountCalls(const VirtualCamera& cam, const std::string& call) {
    const std::vector<std::string> calls = cam.Calls();
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

class Serve : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!qdtest::FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
    }

    void Start(VirtualCamera& cam, const ConfigOptions& options = {}) {
        cam.Start({cam.WriteConfig(options)});
        ASSERT_TRUE(qdtest::WaitServing(cam, kPort));
    }

    // The group can be joined at the first try once this route exists.
    static void AddMulticastRoute(const VirtualCamera& cam) {
        ASSERT_EQ(cam.Dev({"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"}).status, 0);
    }
};

TEST_F(Serve, UploadIsInstalledAcknowledgedSyncedAndRebooted) {
    VirtualCamera cam;
    qdtest::ScratchDir simDir;
    qdtest::McuSimRun sim(simDir);
    ConfigOptions options;
    options.uartArm = sim.slavePath();
    options.mainApp = "mainapp";
    options.kernel = qdtest::PartitionOptions{"/dev/mtd2"};
    Start(cam, options);

    const std::string& work = cam.info().workDir;
    UploadConnection upload(cam, kPort);
    upload.Send(
        Package({DataItem(QDUPK_ITEM_KERNEL, "kernel"), DataItem(QDUPK_ITEM_MCUARM, "firmware"),
                 DataItem(QDUPK_ITEM_BASH, "#!/bin/sh\necho ran > '" + work + "/ran'\n"),
                 DataItem(QDUPK_ITEM_FILE, "payload", work + "/installed.bin")}));
    const UploadConnection::Reply reply = upload.ReadUntilClosed(kUploadTimeout);
    EXPECT_EQ(reply.bytes, kAck);
    EXPECT_TRUE(reply.closed);

    ASSERT_TRUE(cam.WaitForCall("^reboot$", Millis(5000))) << cam.Log();
    const std::string tmp = cam.info().tmpDir;
    EXPECT_EQ(cam.Calls(),
              (std::vector<std::string>{kRouteCommand, "flash_eraseall /dev/mtd2",
                                        "flashcp -v " + tmp + "/updatetmp.bin /dev/mtd2",
                                        "killall mainapp", "sync", "reboot"}));
    EXPECT_EQ(qdtest::ReadFile(work + "/installed.bin"), "payload");
    EXPECT_EQ(qdtest::ReadFile(work + "/ran"), "ran\n");
    EXPECT_EQ(qdtest::ReadFile(sim.imagePath()), "firmware");
    // The reset frame goes out after the transfer's end, before the reboot.
    const std::vector<qdtest::LoggedFrame> frames = sim.Frames();
    ASSERT_GE(frames.size(), 2u) << sim.Log();
    EXPECT_EQ(frames.back().bytes, qdtest::ResetFrame()) << sim.Log();
    EXPECT_EQ(frames[frames.size() - 2].bytes, (qdtest::Bytes{0xA5, 0xFA, 0x00, 0x5F, 0xAF}));
    EXPECT_TRUE(cam.Dev({"sh", "-c", "ls -A '" + tmp + "'"}).output.empty());
    EXPECT_TRUE(cam.Running()) << "serves on until the reboot ends it";
}

TEST_F(Serve, FailedUploadsAreClosedWithoutAnswerAndTheNextOneSucceeds) {
    VirtualCamera cam;
    Start(cam);
    {
        // A client that sends nothing is given up after 50 empty slices.
        UploadConnection silent(cam, kPort);
        const auto start = std::chrono::steady_clock::now();
        const UploadConnection::Reply reply = silent.ReadUntilClosed(Millis(15000));
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
        EXPECT_GE(std::chrono::steady_clock::now() - start, Millis(9000));
    }
    {
        std::string damaged = FilePackage(cam, "content");
        damaged[damaged.size() - 41] ^= 0x01;  // last data byte
        UploadConnection upload(cam, kPort);
        upload.Send(damaged);
        const UploadConnection::Reply reply = upload.ReadUntilClosed(kUploadTimeout);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
    EXPECT_EQ(CountCalls(cam, "sync") + CountCalls(cam, "reboot"), 0u);
    EXPECT_FALSE(qdtest::FileExists(cam.info().workDir + "/installed.bin"));

    UploadConnection upload(cam, kPort);
    upload.Send(FilePackage(cam, "content"));
    EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    EXPECT_TRUE(cam.WaitForCall("^reboot$", Millis(5000)));
}

// Invalid searches go first: had any of them been answered, its answer
// would arrive before the valid one's.
TEST_F(Serve, SearchesAreAnsweredToTheGroupWithPortAndAddress) {
    VirtualCamera cam;
    Start(cam);
    EXPECT_EQ(CountCalls(cam, kRouteCommand), 1u) << "the first join needs the route";
    SearchClient search(cam);
    const std::string address = cam.info().devAddr;

    std::string bigEndianMagic = qdtest::SearchPacket(2);
    std::reverse(bigEndianMagic.begin(), bigEndianMagic.begin() + 4);
    search.Send(qdtest::SearchPacket(1, 75));
    search.Send(bigEndianMagic);
    search.Send(qdtest::SearchPacket(3));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(3), address));

    search.Send(qdtest::SearchPacket(4, 100));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(4, 100), address));
    search.Send(qdtest::SearchPacket(5), address);
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(5), address));
    EXPECT_EQ(search.Receive(Millis(300)), std::nullopt);
}

TEST_F(Serve, CameraWithoutAddressAnnouncesTheFallbackAfterRebuildingItsSocket) {
    VirtualCamera cam;
    ConfigOptions options;
    options.macaddr = "02:5a:11:22:33:44";
    Start(cam, options);
    const std::string macCommand = "ifconfig eth0 hw ether " + options.macaddr;
    ASSERT_EQ(CountCalls(cam, macCommand), 1u);

    ASSERT_EQ(CountCalls(cam, kRouteCommand), 1u);
    // Losing the address takes the group route, so the first answer cannot
    // be sent: the socket is made again (route command, join) and the answer
    // sent once more, leaving with a source address on lo. Each try of the
    // answer refreshes the address and sets the MAC address again.
    cam.RemoveAddress();
    ASSERT_EQ(cam.Dev({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}).status, 0);
    SearchClient search(cam);
    search.Send(qdtest::SearchPacket(7));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(7), "192.168.5.163"));
    EXPECT_EQ(CountCalls(cam, kRouteCommand), 2u);
    EXPECT_EQ(CountCalls(cam, macCommand), 3u);

    // The new socket answers the next search at the first try.
    search.Send(qdtest::SearchPacket(9));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(9), "192.168.5.163"));
    EXPECT_EQ(CountCalls(cam, macCommand), 4u);
    EXPECT_EQ(CountCalls(cam, kRouteCommand), 2u);
}

TEST_F(Serve, GroupThatCannotBeJoinedLeavesUploadsOnly) {
    VirtualCamera cam;
    cam.AddStandIn("route");  // logs the route command but adds no route
    cam.Start({cam.WriteConfig({})});
    ASSERT_TRUE(cam.WaitForCall(std::string("^") + kRouteCommand + "$", Millis(10000)));
    SearchClient search(cam);
    search.Send(qdtest::SearchPacket(8));
    EXPECT_EQ(search.Receive(Millis(1500)), std::nullopt);
    EXPECT_FALSE(qdtest::GroupJoined(cam));
    EXPECT_TRUE(cam.Listening(kPort));
}

TEST_F(Serve, TermAndIntEndTheLoopWithZeroAndLeaveTheGroup) {
    VirtualCamera cam;
    AddMulticastRoute(cam);
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Start(cam);
        ASSERT_GT(qdtest::DaemonPid(cam), 0);
        ASSERT_EQ(kill(qdtest::DaemonPid(cam), sig), 0);
        EXPECT_EQ(cam.WaitExit(Millis(5000)), 0);
        EXPECT_FALSE(qdtest::GroupJoined(cam));
        EXPECT_FALSE(cam.Listening(kPort));
        EXPECT_EQ(CountCalls(cam, kRouteCommand), 0u) << "joined at the first try";
    }
}

TEST_F(Serve, SignalDuringAnUploadLetsItFinishFirst) {
    VirtualCamera cam;
    Start(cam);
    const std::string bytes = FilePackage(cam, std::string(20000, 'u'));
    UploadConnection upload(cam, kPort);
    upload.Send(bytes.substr(0, 5000));
    std::this_thread::sleep_for(Millis(300));
    ASSERT_EQ(kill(qdtest::DaemonPid(cam), SIGTERM), 0);
    std::this_thread::sleep_for(Millis(300));
    EXPECT_TRUE(cam.Running());
    upload.Send(bytes.substr(5000));
    EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    EXPECT_EQ(cam.WaitExit(Millis(5000)), 0);
    EXPECT_EQ(CountCalls(cam, "reboot"), 1u);
}

TEST_F(Serve, PortInUseEndsTheDaemonWithAnError) {
    VirtualCamera cam;
    const qd::UniqueFd taken = qdtest::DevSocket(cam, SOCK_STREAM);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kPort);
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(listen(taken.get(), 1), 0);
    cam.Start({cam.WriteConfig({})});
    EXPECT_EQ(cam.WaitExit(Millis(10000)), 1);
    EXPECT_NE(cam.Log().find("8080"), std::string::npos) << cam.Log();
}

}  // namespace
