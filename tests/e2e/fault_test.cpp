// qdboot on a virtual camera under hostile conditions: a temporary
// directory too small for the package, destinations that cannot be written,
// a connection storm during an upload, a flood of malformed datagrams, a
// slow sender and one that stalls. After each the daemon still serves.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "package_writer.h"
#include "pc_side.h"
#include "qd_bytes.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace {

using qdtest::ConfigOptions;
using qdtest::Millis;
using qdtest::UploadConnection;
using qdtest::VirtualCamera;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPort = 8080;
const std::string kAck("\xAA\xCC\xDD\x03\0\0\0\0", 8);
const Millis kUploadTimeout(20000);

using qdupk::DataItem;

std::string Upload(std::vector<qdupk::ItemPlan> items) {
    return qdtest::Framed(qdupk::BuildPackage({"pkg", "1.0", "IPC-1", std::move(items)}));
}

std::string FileUpload(const std::string& dst, const std::string& content) {
    return Upload({DataItem(QDUPK_ITEM_FILE, content, dst)});
}

// Names in a directory as the daemon sees it.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

std::size_t CountCalls(const VirtualCamera& cam, const std::string& call) {
    const std::vector<std::string> calls = cam.Calls();
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

// No flash tool, sync or reboot has run (the route command at start-up may).
::testing::AssertionResult NothingInstalled(const VirtualCamera& cam) {
    for (const std::string& call : cam.Calls()) {
        if (call.rfind("route ", 0) != 0) {
            return ::testing::AssertionFailure() << "ran: " << call;
        }
    }
    return ::testing::AssertionSuccess();
}

// A failed upload: the connection is closed without a byte of answer.
::testing::AssertionResult RefusedSilently(UploadConnection& upload, Millis timeout) {
    const UploadConnection::Reply reply = upload.ReadUntilClosed(timeout);
    if (!reply.closed || !reply.bytes.empty()) {
        return ::testing::AssertionFailure()
               << (reply.closed ? "answered " : "not closed ") << reply.bytes.size() << " bytes";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Acknowledged(const VirtualCamera& cam, const std::string& bytes) {
    UploadConnection upload(cam, kPort);
    upload.Send(bytes);
    const UploadConnection::Reply reply = upload.ReadUntilClosed(kUploadTimeout);
    if (reply.bytes != kAck) {
        return ::testing::AssertionFailure() << "no acknowledgement; log:\n" << cam.Log();
    }
    return ::testing::AssertionSuccess();
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!qdtest::FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
    }

    static void Start(VirtualCamera& cam, const ConfigOptions& options = {}) {
        cam.Start({cam.WriteConfig(options)});
        ASSERT_TRUE(qdtest::WaitServing(cam, kPort));
    }
};

TEST_F(Faults, TemporaryDirectoryTooSmallFailsCleanlyAndTheNextUploadSucceeds) {
    VirtualCamera cam;
    cam.UseTmpfs("64k");
    ConfigOptions options;
    options.kernel = qdtest::PartitionOptions{"/dev/mtd2"};
    Start(cam, options);
    const std::string tmp = cam.DaemonView(cam.info().tmpDir);
    const std::string& work = cam.info().workDir;

    {
        SCOPED_TRACE("the package itself does not fit");
        UploadConnection upload(cam, kPort);
        // The daemon gives up before the end, so the send may fail.
        static_cast<void>(upload.TrySend(
            FileUpload(work + "/big.bin", std::string(std::size_t{100} * 1024, 'b'))));
        EXPECT_TRUE(RefusedSilently(upload, Millis(10000)));
        EXPECT_EQ(Entries(tmp), std::vector<std::string>());
        EXPECT_FALSE(qdtest::FileExists(work + "/big.bin"));
    }
    {
        SCOPED_TRACE("the package fits, its flash image beside it does not");
        UploadConnection upload(cam, kPort);
        upload.Send(
            Upload({DataItem(QDUPK_ITEM_KERNEL, std::string(std::size_t{40} * 1024, 'k'))}));
        EXPECT_TRUE(RefusedSilently(upload, Millis(10000)));
        EXPECT_EQ(Entries(tmp), std::vector<std::string>());
    }
    EXPECT_TRUE(NothingInstalled(cam));

    EXPECT_TRUE(Acknowledged(cam, FileUpload(work + "/small.bin", "small")));
    EXPECT_EQ(qdtest::ReadFile(work + "/small.bin"), "small");
    EXPECT_EQ(Entries(tmp), std::vector<std::string>());
    EXPECT_TRUE(cam.Running());
}

// An erased partition without its image would brick the camera at the
// reboot: nothing after the failed item is installed, nothing acknowledged,
// synced or rebooted, and the technician can simply try again.
TEST_F(Faults, FailedFlashWriteIsNotAcknowledgedAndARetrySucceeds) {
    VirtualCamera cam;
    ConfigOptions options;
    options.kernel = qdtest::PartitionOptions{"/dev/mtd2"};
    Start(cam, options);
    const std::string after = cam.info().workDir + "/after-kernel.bin";
    const std::string bytes =
        Upload({DataItem(QDUPK_ITEM_KERNEL, "kernel"), DataItem(QDUPK_ITEM_FILE, "file", after)});
    cam.SetStandInExit("flashcp", 1);
    {
        UploadConnection upload(cam, kPort);
        upload.Send(bytes);
        EXPECT_TRUE(RefusedSilently(upload, kUploadTimeout));
    }
    const std::string tmp = cam.info().tmpDir;
    EXPECT_NE(cam.Log().find("ERROR("), std::string::npos) << cam.Log();
    EXPECT_NE(cam.Log().find("exit status 1: flashcp -v " + tmp + "/updatetmp.bin /dev/mtd2"),
              std::string::npos)
        << cam.Log();
    const std::vector<std::string> calls = cam.Calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"flash_eraseall /dev/mtd2",
                                        "flashcp -v " + tmp + "/updatetmp.bin /dev/mtd2"}));
    EXPECT_EQ(CountCalls(cam, "sync") + CountCalls(cam, "reboot"), 0u);
    EXPECT_FALSE(qdtest::FileExists(after));
    EXPECT_EQ(Entries(tmp), std::vector<std::string>());

    cam.SetStandInExit("flashcp", 0);
    EXPECT_TRUE(Acknowledged(cam, bytes));
    EXPECT_EQ(qdtest::ReadFile(after), "file");
    EXPECT_TRUE(cam.WaitForCall("^reboot$", Millis(5000)));
}

TEST_F(Faults, DestinationInMissingOrReadOnlyDirectoryFailsTheUpload) {
    VirtualCamera cam;
    const std::string& work = cam.info().workDir;
    const std::string readOnly = work + "/ro";
    ASSERT_EQ(mkdir(readOnly.c_str(), 0755), 0);
    cam.MakeReadOnly(readOnly);
    Start(cam);

    for (const std::string& dst : {work + "/missing/dir/x.bin", readOnly + "/x.bin"}) {
        SCOPED_TRACE(dst);
        UploadConnection upload(cam, kPort);
        upload.Send(FileUpload(dst, "content"));
        EXPECT_TRUE(RefusedSilently(upload, kUploadTimeout));
        EXPECT_FALSE(qdtest::FileExists(cam.DaemonView(dst)));
    }
    EXPECT_EQ(Entries(cam.DaemonView(cam.info().tmpDir)), std::vector<std::string>());
    EXPECT_TRUE(NothingInstalled(cam));
    EXPECT_TRUE(Acknowledged(cam, FileUpload(work + "/ok.bin", "ok")));
}

// A client that connects and goes away at once, or after a few bytes that
// are no upload header. `attempted` counts it once its connection is asked
// for.
void Nuisance(const VirtualCamera& cam, bool sendGarbage, std::atomic<int>& attempted) {
    const qd::UniqueFd sock = cam.PcSocket(SOCK_STREAM);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    ASSERT_EQ(inet_pton(AF_INET, cam.info().devAddr.c_str(), &addr.sin_addr), 1);
    ASSERT_EQ(fcntl(sock.get(), F_SETFL, O_NONBLOCK), 0);
    // In progress or refused alike: the poll below tells.
    static_cast<void>(connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr));
    ++attempted;
    pollfd entry = {sock.get(), POLLOUT, 0};
    if (poll(&entry, 1, 20000) == 1 && sendGarbage) {
        static_cast<void>(send(sock.get(), "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL));
    }
}

TEST_F(Faults, ConnectionStormDuringAnUploadThenEveryQueuedUploadIsServed) {
    VirtualCamera cam;
    Start(cam);
    const std::string& work = cam.info().workDir;
    const std::string first = FileUpload(work + "/first.bin", std::string(10000, 'f'));
    UploadConnection holder(cam, kPort);
    holder.Send(first.substr(0, 6000));

    constexpr int kQueued = 4;
    constexpr int kNuisances = 24;
    std::atomic<int> acknowledged{0};
    std::atomic<int> attempted{0};
    std::vector<std::thread> clients;
    clients.reserve(kQueued + kNuisances);
    for (int i = 0; i < kQueued; ++i) {
        clients.emplace_back([&, i] {
            ++attempted;  // its connect follows; the listener's queue may hold it back
            UploadConnection upload(cam, kPort);
            upload.Send(FileUpload(work + "/queued" + std::to_string(i), "q"));
            if (upload.ReadUntilClosed(Millis(60000)).bytes == kAck) {
                ++acknowledged;
            }
        });
    }
    for (int i = 0; i < kNuisances; ++i) {
        clients.emplace_back([&cam, &attempted, i] { Nuisance(cam, i % 2 == 0, attempted); });
    }
    // The storm is under way before the first upload may end.
    // EXPECT rather than ASSERT: the clients are joined on every path.
    EXPECT_TRUE(
        qdtest::PollUntil(Millis(20000), [&] { return attempted.load() == kQueued + kNuisances; }));
    holder.Send(first.substr(6000));
    EXPECT_EQ(holder.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    for (std::thread& client : clients) {
        client.join();
    }

    EXPECT_EQ(acknowledged.load(), kQueued);
    for (int i = 0; i < kQueued; ++i) {
        EXPECT_EQ(qdtest::ReadFile(work + "/queued" + std::to_string(i)), "q");
    }
    // Each acknowledgement is followed by "sync", a pause and "reboot".
    static_cast<void>(
        qdtest::PollUntil(Millis(5000), [&] { return CountCalls(cam, "reboot") >= kQueued + 1; }));
    EXPECT_EQ(CountCalls(cam, "reboot"), static_cast<std::size_t>(kQueued + 1));
    EXPECT_TRUE(cam.Running());
    EXPECT_TRUE(Acknowledged(cam, FileUpload(work + "/after.bin", "a")));
}

// The answer a search gets: port at 8, address text at 12.
std::string Answer(std::string search, const std::string& address) {
    auto* bytes = reinterpret_cast<unsigned char*>(search.data());
    qd::StoreLe32(bytes + 8, kPort);
    std::memcpy(bytes + 12, address.c_str(), address.size() + 1);
    return search.substr(0, 76);
}

// Datagrams that are no search: too short (with the magic), or the right
// size and longer with a wrong magic; to the group and to the address.
void Flood(qdtest::SearchClient& search, const std::string& address) {
    for (std::size_t i = 0; i < 1500; ++i) {
        std::string packet = qdtest::SearchPacket(static_cast<std::uint32_t>(i), 76 + i % 200);
        if (i % 3 == 0) {
            packet.resize(i % 76);
        } else {
            packet[i % 4] = static_cast<char>(packet[i % 4] ^ static_cast<char>(1 + i % 255));
        }
        search.Send(packet, i % 5 == 0 ? address : "234.200.200.1");
    }
}

TEST_F(Faults, FloodOfMalformedDatagramsLeavesDiscoveryAnswering) {
    VirtualCamera cam;
    Start(cam);
    qdtest::SearchClient search(cam);
    Flood(search, cam.info().devAddr);

    // The flood may have filled the socket's queue: ask until there is room.
    const std::string valid = qdtest::SearchPacket(0xC0FFEE);
    std::optional<std::string> answer;
    for (int attempt = 0; attempt < 30 && !answer; ++attempt) {
        search.Send(valid);
        answer = search.Receive(Millis(300));
    }
    EXPECT_EQ(answer, Answer(valid, cam.info().devAddr)) << "first answer is the valid search's";
    EXPECT_TRUE(cam.Running());
}

// The answer to the search tagged `tag`, skipping the answers to others.
std::optional<std::string> AnswerTo(qdtest::SearchClient& search, std::uint32_t tag) {
    const std::string wanted = qdtest::SearchPacket(tag).substr(4, 4);
    while (std::optional<std::string> answer = search.Receive(Millis(300))) {
        if (answer->substr(4, 4) == wanted) {
            return answer;
        }
    }
    return std::nullopt;
}

// Without an address each answer sets the MAC address again; a flood of
// searches must not become a flood of shells. The bound follows from the
// time the flood took to be answered, however slow the machine.
TEST_F(Faults, SearchFloodWithoutAddressRunsTheMacCommandAtMostEveryTwoSeconds) {
    VirtualCamera cam;
    ConfigOptions options;
    options.macaddr = "02:5a:11:22:33:44";
    Start(cam, options);
    const std::string macCommand = "ifconfig eth0 hw ether " + options.macaddr;
    cam.RemoveAddress();
    // Answers leave with a source address on lo once eth0 has none.
    ASSERT_EQ(cam.Dev({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}).status, 0);
    qdtest::SearchClient search(cam);

    const auto start = Clock::now();
    for (std::uint32_t tag = 1; tag <= 400; ++tag) {
        search.Send(qdtest::SearchPacket(tag));
    }
    // Answered after every search queued before it.
    std::optional<std::string> last;
    for (int attempt = 0; attempt < 30 && !last; ++attempt) {
        search.Send(qdtest::SearchPacket(0xF100D));
        last = AnswerTo(search, 0xF100D);
    }
    ASSERT_TRUE(last.has_value());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    // One at start-up, then one per started 2 s of the flood.
    const std::size_t bound = 2 + static_cast<std::size_t>(seconds.count()) / 2;
    EXPECT_LE(CountCalls(cam, macCommand), bound) << "flood took " << seconds.count() << " s";
    EXPECT_GE(CountCalls(cam, macCommand), 2u);
    EXPECT_EQ(last, Answer(qdtest::SearchPacket(0xF100D), "192.168.5.163"));
}

TEST_F(Faults, SlowButSteadySenderIsNeverCutOff) {
    VirtualCamera cam;
    Start(cam);
    const std::string& work = cam.info().workDir;
    const std::string bytes = FileUpload(work + "/slow.bin", std::string(3000, 's'));
    UploadConnection upload(cam, kPort);
    // Pauses well past one 200 ms slice, under the 5 s a chunk may wait: the
    // sleep is the slow sender itself, not a wait for the daemon.
    const std::size_t cuts[] = {0, 5, 600, 1500, bytes.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(Millis(3000));
        }
        upload.Send(bytes.substr(cuts[i], cuts[i + 1] - cuts[i]));
    }
    EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck);
    EXPECT_EQ(qdtest::ReadFile(work + "/slow.bin"), std::string(3000, 's'));
}

TEST_F(Faults, StalledClientIsDroppedOnScheduleAndItsFileRemoved) {
    VirtualCamera cam;
    Start(cam);
    const std::string tmp = cam.DaemonView(cam.info().tmpDir);
    const std::string bytes =
        FileUpload(cam.info().workDir + "/stalled.bin", std::string(10000, 'x'));
    UploadConnection upload(cam, kPort);
    upload.Send(bytes.substr(0, 6000));  // stops inside the second 4096-byte chunk
    const auto stalled = Clock::now();
    EXPECT_TRUE(qdtest::PollUntil(Millis(4000), [&] {
        return Entries(tmp) == std::vector<std::string>{"qboot.upg"};
    })) << "the partial package is not where it belongs";

    EXPECT_TRUE(RefusedSilently(upload, Millis(20000)));
    const auto waited = Clock::now() - stalled;
    EXPECT_GE(waited, Millis(4500));
    EXPECT_LE(waited, qdtest::Scaled(Millis(13000)));
    EXPECT_EQ(Entries(tmp), std::vector<std::string>());
    EXPECT_TRUE(NothingInstalled(cam));
    EXPECT_TRUE(cam.Running());
}

}  // namespace
