// Sealed packages on a virtual camera: with keys configured only packages
// signed by one of them are installed, refusals leave no trace but an
// error line, and the counter file stops rollbacks across restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package_writer.h"
#include "pc_side.h"
#include "sealed_package.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace {

using qdtest::ConfigOptions;
using qdtest::Millis;
using qdtest::Sealed;
using qdtest::TestSigningKey;
using qdtest::UploadConnection;
using qdtest::VirtualCamera;

constexpr std::uint16_t kPort = 8080;
const std::string kAck("\xAA\xCC\xDD\x03\0\0\0\0", 8);
const Millis kUploadTimeout(20000);

std::string ReadIfPresent(const std::string& path) {
    return qdtest::FileExists(path) ? qdtest::ReadFile(path) : "(none)";
}

class Seal : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!qdtest::FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
        options_.kernel = qdtest::PartitionOptions{"/dev/mtd2"};
    }

    void Start(const std::map<std::string, std::string>& seal) {
        options_.seal = seal;
        cam_.Start({cam_.WriteConfig(options_)});
        ASSERT_TRUE(qdtest::WaitServing(cam_, kPort));
    }

    std::string Destination() const { return cam_.info().workDir + "/installed.bin"; }
    std::string CounterFile() const { return cam_.info().workDir + "/seal.counter"; }

    // A file, a script and a kernel image: each leaves its own trace.
    std::string Package(const std::string& content, const std::string& destination = {}) const {
        const std::string work = cam_.info().workDir;
        return qdupk::BuildPackage(
            {"pkg",
             "2.0",
             "IPC-1",
             {qdupk::DataItem(QDUPK_ITEM_FILE, content,
                              destination.empty() ? Destination() : destination),
              qdupk::DataItem(QDUPK_ITEM_BASH,
                              "#!/bin/sh\necho " + content + " > '" + work + "/ran'\n"),
              qdupk::DataItem(QDUPK_ITEM_KERNEL, "kernel")}});
    }

    std::size_t Reboots() const {
        const std::vector<std::string> calls = cam_.Calls();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), "reboot"));
    }

    // Acknowledged, installed, and the reboot stand-in has run.
    void ExpectInstalled(const std::string& package, const std::string& content) {
        const std::size_t before = Reboots();
        UploadConnection upload(cam_, kPort);
        upload.Send(qdtest::Framed(package));
        EXPECT_EQ(upload.ReadUntilClosed(kUploadTimeout).bytes, kAck) << cam_.Log();
        static_cast<void>(qdtest::PollUntil(Millis(10000), [&] { return Reboots() != before; }));
        EXPECT_EQ(Reboots(), before + 1);
        EXPECT_EQ(qdtest::ReadFile(Destination()), content);
        EXPECT_EQ(qdtest::ReadFile(cam_.info().workDir + "/ran"), content + "\n");
    }

    // No answer, no tool run, destination and script output untouched, and
    // an error line with `reason`, written before the connection was closed.
    void ExpectRefused(const std::string& package, const std::string& reason) {
        const std::vector<std::string> calls = cam_.Calls();
        const std::string installed = ReadIfPresent(Destination());
        const std::string ran = ReadIfPresent(cam_.info().workDir + "/ran");
        const std::size_t logged = cam_.Log().size();
        UploadConnection upload(cam_, kPort);
        // Settings that take nothing refuse an upload before reading it.
        static_cast<void>(upload.TrySend(qdtest::Framed(package)));
        const UploadConnection::Reply reply = upload.ReadUntilClosed(kUploadTimeout);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
        EXPECT_EQ(cam_.Calls(), calls);
        EXPECT_EQ(ReadIfPresent(Destination()), installed);
        EXPECT_EQ(ReadIfPresent(cam_.info().workDir + "/ran"), ran);
        const std::string log = cam_.Log().substr(logged);
        EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
        EXPECT_NE(log.find(reason), std::string::npos) << log;
    }

    // One byte of the file's destination changed behind the seal: the
    // camera would otherwise install the file at the damaged path.
    std::string DamagedDestination(const std::string& content, const TestSigningKey* key) const {
        const std::string original = Package(content);
        return Package(content, cam_.info().workDir + "/installed.bim") +
               Sealed(original, 5, key).substr(original.size());
    }

    VirtualCamera cam_;
    ConfigOptions options_;
};

TEST_F(Seal, WithKeysOnlySignedPackagesAreInstalledAndOlderCountersRefused) {
    const TestSigningKey key1, key2, stranger;
    Start(
        {{"key1", key1.PublicHex()}, {"key2", key2.PublicHex()}, {"counter_file", CounterFile()}});

    ExpectRefused(Package("plain"), "not sealed and signed by a configured key");
    ExpectRefused(Sealed(Package("unsigned"), 5), "not sealed and signed by a configured key");
    ExpectRefused(Sealed(Package("stranger"), 5, &stranger), "key that is not configured");
    ExpectRefused(DamagedDestination("damaged", &key1), "digest does not match");
    EXPECT_FALSE(qdtest::FileExists(cam_.info().workDir + "/installed.bim"));
    EXPECT_FALSE(qdtest::FileExists(CounterFile())) << "refusals store no counter";

    ExpectInstalled(Sealed(Package("one"), 5, &key1), "one");
    EXPECT_EQ(qdtest::ReadFile(CounterFile()), "5\n");
    // An equal counter passes, so a retry of the same release works.
    ExpectInstalled(Sealed(Package("two"), 5, &key2), "two");
    ExpectRefused(Sealed(Package("older"), 4, &key1), "rollback: counter 4 is lower than 5");
    ExpectInstalled(Sealed(Package("three"), 9, &key2), "three");
    EXPECT_EQ(qdtest::ReadFile(CounterFile()), "9\n");
}

TEST_F(Seal, StoredCounterSurvivesARestartAndACorruptOneRefusesUploads) {
    const TestSigningKey key1;
    const std::map<std::string, std::string> seal = {{"key1", key1.PublicHex()},
                                                     {"counter_file", CounterFile()}};
    Start(seal);
    ExpectInstalled(Sealed(Package("seven"), 7, &key1), "seven");
    cam_.Stop();
    Start(seal);
    ExpectRefused(Sealed(Package("six"), 6, &key1), "rollback: counter 6 is lower than 7");

    for (const char* corrupt : {"7", "7\n\n", " 7\n", "", "18446744073709551616\n"}) {
        SCOPED_TRACE(corrupt);
        qdtest::WriteFile(CounterFile(), corrupt);
        ExpectRefused(Sealed(Package("eight"), 8, &key1),
                      "counter file " + CounterFile() + " is corrupt");
        EXPECT_EQ(qdtest::ReadFile(CounterFile()), corrupt);
    }
    qdtest::WriteFile(CounterFile(), "7\n");
    ExpectInstalled(Sealed(Package("eight"), 8, &key1), "eight");
}

void ExpectInLog(const VirtualCamera& cam, const std::string& text) {
    EXPECT_NE(cam.Log().find(text), std::string::npos) << cam.Log();
}

// Seal settings with a slip or a placeholder key, which a camera may be
// given by a package, never stop it: it says what is wrong and what it
// demands, answers searches, and installs only what a usable key signed.
TEST_F(Seal, SlipsAndUnusableKeysKeepTheCameraServingAndTakeNothingElse) {
    const TestSigningKey key;
    Start({{"Key1", key.PublicHex()}});
    ExpectInLog(cam_, "ERROR");
    ExpectInLog(cam_, "configuration slip: unknown key \"Key1\" in [seal]");
    ExpectInLog(cam_, "qdboot starting: every upload is refused");
    qdtest::SearchClient search(cam_);
    search.Send(qdtest::SearchPacket(0x5EA1));
    EXPECT_TRUE(search.Receive(Millis(5000)).has_value()) << "searches are answered";
    ExpectRefused(Package("plain"), "configuration slip");
    ExpectRefused(Sealed(Package("signed"), 5, &key), "configuration slip");
    cam_.Stop();

    // With the neutral point as key1, R = that point and S = 0 would verify
    // for any package.
    const std::string neutral = std::string(1, '\x01') + std::string(31, '\0');
    const std::string forged = std::string(1, '\x01') + std::string(63, '\0');
    Start({{"key1", "01" + std::string(62, '0')},
           {"key2", key.PublicHex()},
           {"counter_file", CounterFile()}});
    ExpectInLog(cam_, "[seal] key1 (key id ");
    ExpectInLog(cam_, "qdboot starting: packages must be signed by key ");
    ExpectInLog(cam_, " (key2); stored counter 0 (" + CounterFile() + ")");
    ExpectRefused(Package("plain"), "not sealed and signed by a configured key");
    ExpectRefused(qdtest::SealedAs(Package("forged"), 50, neutral, forged), "takes nothing");
    EXPECT_FALSE(qdtest::FileExists(CounterFile()));
    ExpectInstalled(Sealed(Package("real"), 3, &key), "real");
    EXPECT_EQ(qdtest::ReadFile(CounterFile()), "3\n");
}

// No keys: unsealed packages install, and a seal that is present must hold.
TEST_F(Seal, WithoutKeysUnsealedAndIntactSealsInstallBrokenSealsDoNot) {
    Start({});
    ExpectInstalled(Package("plain"), "plain");
    ExpectInstalled(Sealed(Package("unsigned"), 3), "unsigned");
    ExpectRefused(DamagedDestination("damaged", nullptr), "digest does not match");
    EXPECT_FALSE(qdtest::FileExists(cam_.info().workDir + "/installed.bim"));

    std::string malformed = Sealed(Package("malformed"), 3);
    malformed[malformed.size() - 128 + 8] = 127;  // the seal's size field
    ExpectRefused(malformed, "malformed seal");
    ExpectInstalled(Package("after"), "after");
}

}  // namespace
