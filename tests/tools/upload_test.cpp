// qdupk upload against a stand-in camera on loopback: what goes over the
// wire, and the result line and exit status for each way an upload ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "fake_upload_server.h"
#include "package_writer.h"
#include "target_exec.h"
#include "test_support.h"

namespace qdtest {
namespace {

using Millis = std::chrono::milliseconds;

constexpr int kAccepted = 0;
constexpr int kRefusedHere = 1;
constexpr int kUsage = 2;
constexpr int kNotAccepted = 3;
constexpr int kNoConnection = 4;
constexpr int kTimedOut = 5;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string MakePackage(std::size_t dataSize) {
    qdupk::PackagePlan plan;
    plan.name = "demo";
    plan.version = "1.0";
    plan.devId = "QUNDAR";
    qdupk::ItemPlan item;
    item.destination = "/tmp/x";
    for (std::size_t i = 0; i < dataSize; ++i) {
        item.data += static_cast<char>(i * 7 % 251);
    }
    plan.items.push_back(item);
    return qdupk::BuildPackage(plan);
}

class UploadTest : public ::testing::Test {
  protected:
    CommandResult Upload(const std::vector<std::string>& args) const {
        std::vector<std::string> withCommand = {"upload"};
        withCommand.insert(withCommand.end(), args.begin(), args.end());
        return RunCommand(TargetArgv(QDUPK_EXE, withCommand), Millis(30000));
    }

    std::string WritePackage(const std::string& bytes, const std::string& name = "pkg.upg") const {
        WriteFile(dir_.file(name), bytes);
        return dir_.file(name);
    }

    ScratchDir dir_;
};

TEST_F(UploadTest, AcceptedUploadSendsHeaderAndPackageByteForByte) {
    FakeUploadServer camera(ServerReply::kAck);
    const std::string package = MakePackage(300000);
    const CommandResult r = Upload({camera.Address(), WritePackage(package)});

    EXPECT_EQ(r.status, kAccepted) << r.output;
    EXPECT_TRUE(Contains(r.output, "pkg.upg: verified: package \"demo\"")) << r.output;
    EXPECT_TRUE(Contains(r.output, "sent " + std::to_string(package.size()) + " of " +
                                       std::to_string(package.size()) + " bytes (100%)"))
        << r.output;
    EXPECT_TRUE(Contains(
        r.output, "qdupk upload: ACCEPTED: " + camera.Address() + " acknowledged the package"))
        << r.output;
    const std::vector<ReceivedUpload> got = camera.Received();
    ASSERT_EQ(got.size(), 1U);
    const auto size = static_cast<std::uint32_t>(package.size());
    const std::vector<unsigned char> header = {0xAA,
                                               0xCC,
                                               0xDD,
                                               0x03,
                                               static_cast<unsigned char>(size >> 24),
                                               static_cast<unsigned char>(size >> 16),
                                               static_cast<unsigned char>(size >> 8),
                                               static_cast<unsigned char>(size)};
    EXPECT_EQ(got[0].header, header);
    EXPECT_EQ(std::string(got[0].body.begin(), got[0].body.end()), package);
}

TEST_F(UploadTest, EveryOtherCameraAnswerFailsWithItsOwnExitStatus) {
    struct Case {
        ServerReply reply;
        int status;
        std::size_t dataSize;
        std::vector<std::string> extra;
        const char* message;
    };
    const Case cases[] = {
        {ServerReply::kClose,
         kNotAccepted,
         1000,
         {},
         "NOT ACCEPTED: 127.0.0.1:PORT closed the connection without acknowledgement"},
        {ServerReply::kFailureResult,
         kNotAccepted,
         1000,
         {},
         "NOT ACCEPTED: 127.0.0.1:PORT answered AA CC DD 03 FF FF FF FF, not the "
         "acknowledgement"},
        // Closed while the client still sends: the package outgrows the
        // socket buffers.
        {ServerReply::kCloseEarly,
         kNotAccepted,
         16 << 20,
         {},
         "NOT ACCEPTED: 127.0.0.1:PORT closed the connection"},
        {ServerReply::kSilent,
         kTimedOut,
         1000,
         {"--timeout", "0.4"},
         "TIMED OUT: 127.0.0.1:PORT: no acknowledgement within 0.4 s (after the whole "
         "package)"},
    };
    for (const Case& c : cases) {
        FakeUploadServer camera(c.reply);
        std::vector<std::string> args = {camera.Address(), WritePackage(MakePackage(c.dataSize))};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const CommandResult r = Upload(args);
        std::string expected = c.message;
        expected.replace(expected.find("PORT"), 4, camera.Address().substr(10));
        EXPECT_EQ(r.status, c.status) << expected << "\n" << r.output;
        EXPECT_TRUE(Contains(r.output, "qdupk upload: " + expected)) << r.output;
        EXPECT_EQ(camera.Connections(), 1) << expected;
    }
}

// A connection broken before the last byte is tried again only as often as
// --retries allows, and the verdict is the last attempt's.
TEST_F(UploadTest, RetriesRepeatOnlyABrokenConnection) {
    for (const int retries : {0, 1}) {
        FakeUploadServer camera(ServerReply::kCloseEarly);
        const CommandResult r = Upload({camera.Address(), WritePackage(MakePackage(16 << 20)),
                                        "--retries", std::to_string(retries)});
        EXPECT_EQ(r.status, kNotAccepted) << r.output;
        EXPECT_EQ(camera.Connections(), retries + 1) << r.output;
        EXPECT_EQ(
            Contains(r.output, "attempt 1: " + camera.Address() + " closed the connection after "),
            retries > 0)
            << r.output;
    }
}

TEST_F(UploadTest, NoListenerIsAConnectionFailure) {
    std::string address;
    {
        // A port that was just free on loopback: nothing listens there now.
        FakeUploadServer gone(ServerReply::kAck);
        address = gone.Address();
    }
    const CommandResult r = Upload({address, WritePackage(MakePackage(100))});
    EXPECT_EQ(r.status, kNoConnection) << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk upload: NO CONNECTION: cannot connect to " + address +
                                       ": Connection refused"))
        << r.output;
}

TEST_F(UploadTest, PackagesTheCameraWouldRefuseAreNotSent) {
    FakeUploadServer camera(ServerReply::kAck);
    std::string damaged = MakePackage(5000);
    damaged[432 + 456 + 100] ^= 0x01;
    const std::string damagedPath = WritePackage(damaged, "damaged.upg");

    CommandResult r = Upload({camera.Address(), damagedPath});
    EXPECT_EQ(r.status, kRefusedHere) << r.output;
    EXPECT_TRUE(Contains(r.output,
                         "the camera would refuse it: the data of item 1 does not "
                         "match its MD5 digest (nothing sent"))
        << r.output;

    r = Upload({camera.Address(), WritePackage("", "empty.upg"), "--no-verify"});
    EXPECT_EQ(r.status, kRefusedHere) << r.output;
    EXPECT_TRUE(Contains(r.output, "empty.upg is empty")) << r.output;

    // The camera reads the length as a signed 32-bit number.
    const std::string huge = dir_.file("huge.upg");
    WriteFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), off_t{1} << 31), 0);
    r = Upload({camera.Address(), huge, "--no-verify"});
    EXPECT_EQ(r.status, kRefusedHere) << r.output;
    EXPECT_TRUE(Contains(r.output, "has 2147483648 bytes; a camera takes at most 2147483647"))
        << r.output;
    EXPECT_EQ(camera.Connections(), 0);

    // Sending it anyway is the user's call.
    r = Upload({camera.Address(), damagedPath, "--no-verify"});
    EXPECT_EQ(r.status, kAccepted) << r.output;
    ASSERT_EQ(camera.Received().size(), 1U);
    EXPECT_EQ(camera.Received()[0].body.size(), damaged.size());
}

TEST_F(UploadTest, MalformedCommandLinesAreUsageErrors) {
    const std::string package = WritePackage(MakePackage(10));
    const std::vector<std::vector<std::string>> cases = {
        {"127.0.0.1", package},
        {"127.0.0.1:0", package},
        {"127.0.0.1:65536", package},
        {"127.0.0.1:80"},
        {"127.0.0.1:80", package, "--timeout", "0"},
        {"127.0.0.1:80", package, "--connect-timeout"},
        {"127.0.0.1:80", package, "--resume"},
    };
    for (const auto& args : cases) {
        const CommandResult r = Upload(args);
        EXPECT_EQ(r.status, kUsage) << r.output;
        EXPECT_TRUE(Contains(r.output, "see 'qdupk upload --help'")) << r.output;
    }
}

}  // namespace
}  // namespace qdtest
