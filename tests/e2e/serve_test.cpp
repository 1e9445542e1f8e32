// qdboot serving on a virtual camera: uploads acknowledged and installed,
// failed ones closed without an answer, searches answered to the group, and
// the loop's end on a signal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "mdu_sim_run.h"
#include "package_writer.h"
#include "pc_side.h"
#include "qd_bytes.h"
#include "qd_status.h"
#include "sealed_package.h"
#include "test_support.h"
#include "test_timing.h"
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

// The verification pass's trace lines in the log, one per 4096-byte chunk.
std::size_t DigestTraces(const std::string& log) {
    std::size_t count = 0;
    for (std::size_t at = log.find("md5FileData readsize = "); at != std::string::npos;
         at = log.find("md5FileData readsize = ", at + 1)) {
        ++count;
    }
    return count;
}

// Every trace line of an item of `size` bytes is in the log, the last chunk's
// included.
::testing::AssertionResult WholeTrace(const std::string& log, std::size_t size) {
    const std::size_t chunks = (size + 4095) / 4096;
    const std::string last = std::to_string(size - (chunks - 1) * 4096);
    const std::string lastLine = "md5FileData readsize = " + last + ", iRet = " + last + "\n";
    if (DigestTraces(log) != chunks || log.find(lastLine) == std::string::npos) {
        return ::testing::AssertionFailure()
               << DigestTraces(log) << " of " << chunks << " trace lines; log:\n"
               << log;
    }
    return ::testing::AssertionSuccess();
}

// A tool asking for status from the PC side: one socket that sends to the
// camera or the group and takes whatever comes back to it.
class StatusAsker {
  public:
    explicit StatusAsker(const VirtualCamera& cam) : sock_(cam.PcSocket(SOCK_DGRAM)) {
        in_addr out{};
        EXPECT_EQ(inet_pton(AF_INET, cam.info().pcAddr.c_str(), &out), 1);
        EXPECT_EQ(setsockopt(sock_.get(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
    }
    void Send(const std::string& packet, const std::string& to) {
        sockaddr_in dest{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(qd::kSearchPort);
        ASSERT_EQ(inet_pton(AF_INET, to.c_str(), &dest.sin_addr), 1);
        ASSERT_EQ(sendto(sock_.get(), packet.data(), packet.size(), 0,
                         reinterpret_cast<const sockaddr*>(&dest), sizeof dest),
                  static_cast<ssize_t>(packet.size()));
    }
    std::optional<std::string> Receive(Millis timeout) {
        pollfd entry = {sock_.get(), POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(qdtest::Scaled(timeout).count())) <= 0) {
            return std::nullopt;
        }
        char buf[2048];
        const ssize_t n = recv(sock_.get(), buf, sizeof buf, 0);
        return std::string(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    }

  private:
    qd::UniqueFd sock_;
};

std::string StatusQuery(std::uint32_t nonce, std::size_t size = qd::kStatusQueryMinSize) {
    std::string query(size, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(query.data());
    qd::StoreLe32(bytes, qd::kStatusQueryMagic);
    qd::StoreLe32(bytes + qd::kStatusNonceOffset, nonce);
    return query;
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
        // Written before the connection closed, the trace before the errors.
        const std::string log = cam.Log();
        const std::size_t trace = log.find("md5FileData readsize = 7, iRet = 7\n");
        const std::size_t digest = log.find("crc data error\n");
        const std::size_t packet = log.find("crc packet error=-5\n");
        EXPECT_TRUE(trace < digest && digest < packet && packet != std::string::npos) << log;
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

// Invalid queries and a search go first, from the asker's own socket: had
// any of them been answered to it, that would arrive before the real
// reply. Then the status shows a refused upload's reason and identity.
TEST_F(Serve, StatusIsAnsweredByUnicastOnlyAndSearchesAsBefore) {
    VirtualCamera cam;
    const std::string config = cam.WriteConfig({});
    std::ofstream(config, std::ios::app) << "[status]\ndetail=full\n";
    cam.Start({config});
    ASSERT_TRUE(qdtest::WaitServing(cam, kPort));
    SearchClient search(cam);
    StatusAsker asker(cam);
    const std::string address = cam.info().devAddr;

    asker.Send(StatusQuery(1), qd::kSearchGroup);
    asker.Send(StatusQuery(2, qd::kStatusQueryMinSize - 1), address);
    asker.Send(StatusQuery(3, qd::kStatusQueryMaxSize + 1), address);
    asker.Send(qdtest::SearchPacket(4), address);
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(4), address));
    asker.Send(StatusQuery(5, 700), address);
    std::optional<std::string> reply = asker.Receive(Millis(3000));
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), qd::kStatusReplySize);
    qd::StatusReport status;
    std::uint32_t nonce = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply->data());
    ASSERT_TRUE(qd::DecodeStatusReply(bytes, reply->size(), &status, &nonce));
    EXPECT_EQ(nonce, 5U);
    EXPECT_TRUE(status.full);
    EXPECT_STREQ(status.device, "vcam");
    EXPECT_STRNE(status.version, "");
    EXPECT_STREQ(status.state, "no journal");
    EXPECT_STREQ(status.slot, "");
    EXPECT_EQ(status.lastResult, qd::kStatusNoUpload);

    std::string damaged = FilePackage(cam, "content");
    damaged[damaged.size() - 41] ^= 0x01;  // last data byte
    UploadConnection upload(cam, kPort);
    upload.Send(damaged);
    EXPECT_TRUE(upload.ReadUntilClosed(kUploadTimeout).closed);
    asker.Send(StatusQuery(6), address);
    reply = asker.Receive(Millis(3000));
    ASSERT_TRUE(reply.has_value());
    bytes = reinterpret_cast<const unsigned char*>(reply->data());
    ASSERT_TRUE(qd::DecodeStatusReply(bytes, reply->size(), &status, &nonce));
    EXPECT_EQ(nonce, 6U);
    EXPECT_EQ(status.lastResult, qd::kStatusDamaged);
    EXPECT_STREQ(status.lastText, "digest mismatch in item 1");
    EXPECT_EQ(std::string(status.lastIdentity), qdtest::PackageIdentity(damaged.substr(8), false));

    EXPECT_EQ(asker.Receive(Millis(300)), std::nullopt);
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
    // sent once more, leaving with a source address on lo. Answers without
    // an address set the MAC address again, at most once per 2 seconds.
    cam.RemoveAddress();
    ASSERT_EQ(cam.Dev({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}).status, 0);
    SearchClient search(cam);
    search.Send(qdtest::SearchPacket(7));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(7), "192.168.5.163"));
    EXPECT_EQ(CountCalls(cam, kRouteCommand), 2u);
    EXPECT_EQ(CountCalls(cam, macCommand), 2u);

    // The new socket answers the next search at the first try.
    search.Send(qdtest::SearchPacket(9));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(9), "192.168.5.163"));
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

// SIGPIPE (a log reader or client gone) is no reason to stop; the stop
// signals end the loop cleanly.
TEST_F(Serve, StopSignalsEndTheLoopWithZeroAndLeaveTheGroupSigpipeDoesNot) {
    VirtualCamera cam;
    AddMulticastRoute(cam);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Start(cam);
        const pid_t pid = qdtest::DaemonPid(cam);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGPIPE), 0);
        // The signal is pending before the search arrives, so an answer
        // means the daemon has taken it.
        SearchClient search(cam);
        search.Send(qdtest::SearchPacket(static_cast<std::uint32_t>(sig)));
        EXPECT_EQ(
            search.Receive(Millis(3000)),
            Answer(qdtest::SearchPacket(static_cast<std::uint32_t>(sig)), cam.info().devAddr));
        ASSERT_EQ(kill(pid, sig), 0);
        EXPECT_EQ(cam.WaitExit(Millis(5000)), 0);
        EXPECT_FALSE(qdtest::GroupJoined(cam));
        EXPECT_FALSE(cam.Listening(kPort));
        EXPECT_EQ(CountCalls(cam, kRouteCommand), 0u) << "joined at the first try";
    }
}

// Whether the signal is in one of the masks of the process's status
// ("SigCgt:" handled, "SigBlk:" blocked, "ShdPnd:" pending, ...).
bool InMask(pid_t pid, const char* mask, int sig) {
    const std::string status = qdtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find(mask);
    return at != std::string::npos &&
           (std::stoull(status.substr(at + std::strlen(mask)), nullptr, 16) >> (sig - 1) & 1U) != 0;
}

bool Catches(pid_t pid, int sig) {
    return InMask(pid, "SigCgt:", sig);
}

// Whether the process has taken the signal: handled it, or holds it
// blocked. Until then a kill has not reached the code under test.
bool Taken(pid_t pid, int sig) {
    return (!InMask(pid, "SigPnd:", sig) && !InMask(pid, "ShdPnd:", sig)) ||
           InMask(pid, "SigBlk:", sig);
}

// Before eth0 has an address there is nothing to finish: a stop signal ends
// the wait, and the daemon, with 0.
TEST_F(Serve, StopSignalWhileWaitingForTheAddressEndsWithZero) {
    VirtualCamera cam(false);
    const std::string config = cam.WriteConfig({});
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        cam.Start({config});
        pid_t pid = -1;
        const auto handling = [&] {
            pid = qdtest::DaemonPid(cam);
            return pid > 0 && Catches(pid, sig);
        };
        ASSERT_TRUE(qdtest::PollUntil(Millis(10000), handling)) << "no handler for " << sig;
        ASSERT_EQ(kill(pid, sig), 0);
        EXPECT_EQ(cam.WaitExit(Millis(5000)), 0);
        EXPECT_FALSE(cam.Listening(kPort));
    }
}

// A stop signal while a flash tool runs neither kills the tool (it is in a
// process group of its own and the daemon waits for it) nor gets lost: the
// upload is installed, acknowledged and rebooted, its files removed, and
// then the daemon ends with 0.
TEST_F(Serve, StopSignalDuringAFlashCopyLetsTheUploadFinishThenEndsWithZero) {
    VirtualCamera cam;
    ConfigOptions options;
    options.kernel = qdtest::PartitionOptions{"/dev/mtd2"};
    const std::string tmp = cam.info().tmpDir;
    for (int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Start(cam, options);
        cam.HoldStandIn("flashcp", true);
        UploadConnection upload(cam, kPort);
        upload.Send(Package({DataItem(QDUPK_ITEM_KERNEL, "kernel")}));
        ASSERT_TRUE(cam.WaitForCall("^flashcp ", Millis(10000))) << cam.Log();
        const pid_t pid = qdtest::DaemonPid(cam);
        ASSERT_GT(pid, 0);  // kill(-1) would signal every process of the machine
        ASSERT_EQ(kill(pid, sig), 0);
        cam.HoldStandIn("flashcp", false);
        EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
        EXPECT_EQ(cam.WaitExit(Millis(10000)), 0);
        EXPECT_EQ(CountCalls(cam, "reboot"), 1u);
        EXPECT_TRUE(cam.Dev({"sh", "-c", "ls -A '" + tmp + "'"}).output.empty());
    }
}

// The multicast socket is tried again while there is none: one error line
// for the whole streak, and searches are answered once the group can be
// joined.
TEST_F(Serve, DiscoveryComesBackOnceTheGroupCanBeJoined) {
    VirtualCamera cam;
    cam.AddStandIn("route");  // logs the route command but adds no route
    cam.Start({cam.WriteConfig({})});
    const std::string route = std::string("^") + kRouteCommand + "$";
    ASSERT_TRUE(cam.WaitForCall(route, Millis(10000)));
    ASSERT_TRUE(qdtest::PollUntil(Millis(20000), [&] {
        return CountCalls(cam, kRouteCommand) >= 3;
    })) << "not tried again";
    const std::string log = cam.Log();
    std::size_t errors = 0;
    for (std::size_t at = log.find("ERROR("); at != std::string::npos;
         at = log.find("ERROR(", at + 1)) {
        ++errors;
    }
    EXPECT_EQ(errors, 1u) << log;
    EXPECT_NE(log.find("no multicast socket"), std::string::npos) << log;

    AddMulticastRoute(cam);
    EXPECT_TRUE(qdtest::WaitServing(cam, kPort));
    SearchClient search(cam);
    search.Send(qdtest::SearchPacket(11));
    EXPECT_EQ(search.Receive(Millis(3000)), Answer(qdtest::SearchPacket(11), cam.info().devAddr));
}

TEST_F(Serve, SignalDuringAnUploadLetsItFinishFirst) {
    VirtualCamera cam;
    Start(cam);
    const std::string bytes = FilePackage(cam, std::string(20000, 'u'));
    UploadConnection upload(cam, kPort);
    upload.Send(bytes.substr(0, 5000));
    const std::string partial = cam.DaemonView(cam.info().tmpDir) + "/qboot.upg";
    ASSERT_TRUE(qdtest::PollUntil(Millis(5000), [&] { return qdtest::FileExists(partial); }))
        << "the upload has not begun";
    const pid_t pid = qdtest::DaemonPid(cam);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(qdtest::PollUntil(Millis(5000), [&] { return Taken(pid, SIGTERM); }));
    EXPECT_TRUE(cam.Running());
    upload.Send(bytes.substr(5000));
    EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    EXPECT_EQ(cam.WaitExit(Millis(5000)), 0);
    EXPECT_EQ(CountCalls(cam, "reboot"), 1u);
    EXPECT_TRUE(WholeTrace(cam.Log(), 20000));
}

// The per-chunk trace lines may be written in blocks, but the log is whole
// by the time the client has its answer and by the time the reboot runs.
TEST_F(Serve, WholeLogIsWrittenBeforeTheAnswerAndBeforeTheReboot) {
    VirtualCamera cam;
    Start(cam);
    cam.HoldStandIn("reboot", true);
    constexpr std::size_t kSize = 40000;  // ten chunks, the last one short
    UploadConnection upload(cam, kPort);
    upload.Send(FilePackage(cam, std::string(kSize, 'w')));
    EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    EXPECT_TRUE(WholeTrace(cam.Log(), kSize));

    // Held, the stand-in keeps the daemon waiting in the reboot command.
    ASSERT_TRUE(cam.WaitForCall("^reboot$", Millis(5000))) << cam.Log();
    EXPECT_TRUE(WholeTrace(cam.Log(), kSize));
    cam.HoldStandIn("reboot", false);
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
