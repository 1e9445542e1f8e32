// Start-up of qdboot on a virtual camera: which configuration it reads, when
// it refuses to start, the wait for eth0's address and the MAC command.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace {

using qdtest::ConfigOptions;
using qdtest::Millis;
using qdtest::VirtualCamera;

constexpr char kMac[] = "02:5a:11:22:33:44";
constexpr char kOtherMac[] = "02:5a:99:88:77:66";
const Millis kExitTimeout(10000);
// The address is polled every 2 s; allow for a loaded machine on top.
const Millis kAfterAddress(5000);

ConfigOptions WithMac(const std::string& mac) {
    ConfigOptions options;
    options.macaddr = mac;
    return options;
}

std::string MacCommand(const std::string& mac) {
    return "^ifconfig eth0 hw ether " + mac + "$";
}

bool AnyIfconfig(const std::vector<std::string>& calls) {
    for (const std::string& call : calls) {
        if (call.rfind("ifconfig", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Past the address wait the daemon serves uploads on its port.
::testing::AssertionResult PastStartup(VirtualCamera& cam, std::uint16_t port) {
    std::optional<int> ended;
    const bool listening = qdtest::PollUntil(kExitTimeout, [&] {
        ended = cam.WaitExit(Millis(0));
        return ended || cam.Listening(port);
    });
    if (ended) {
        return ::testing::AssertionFailure() << "ended with " << *ended << ": " << cam.Log();
    }
    if (listening) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "not listening on " << port;
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!qdtest::FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
    }
};

TEST_F(StartupTest, RefusedConfigurationEndsWith255SilentlyBeforeTouchingTheMac) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    std::vector<std::pair<std::string, ConfigOptions>> refused;
    refused.emplace_back("tmpdir missing", WithMac(kMac));
    refused.back().second.omit.insert("tmpdir");
    refused.emplace_back("tmpdir empty", WithMac(kMac));
    refused.back().second.rawValues["tmpdir"] = "";
    refused.emplace_back("uart_baud 19200", WithMac(kMac));
    refused.back().second.baud = 19200;
    refused.emplace_back("kernel partition without nSize", WithMac(kMac));
    refused.back().second.kernel = qdtest::PartitionOptions{"/dev/mtd2", 1, 0, std::nullopt};
    refused.emplace_back("port missing", WithMac(kMac));
    refused.back().second.omit.insert("port");

    for (const auto& [what, options] : refused) {
        SCOPED_TRACE(what);
        cam.Start({cam.WriteConfig(options)});
        EXPECT_EQ(cam.WaitExit(kExitTimeout), 255);
        EXPECT_EQ(cam.Log(), "");
        EXPECT_TRUE(cam.Calls().empty());
    }
    SCOPED_TRACE("configuration file missing");
    cam.Start({cam.info().workDir + "/absent.cfg"});
    EXPECT_EQ(cam.WaitExit(kExitTimeout), 255);
    EXPECT_EQ(cam.Log(), "");
    EXPECT_TRUE(cam.Calls().empty());
}

TEST_F(StartupTest, WaitsForTheAddressThenSetsTheMac) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam(false);
    const ConfigOptions options = WithMac(kMac);
    cam.Start({cam.WriteConfig(options)});

    EXPECT_EQ(cam.WaitExit(Millis(3000)), std::nullopt) << "did not wait for the address";
    EXPECT_TRUE(cam.Calls().empty());
    EXPECT_EQ(cam.Log(), "");
    EXPECT_FALSE(cam.Listening(static_cast<std::uint16_t>(options.port)));
    EXPECT_NE(cam.MacAddress(), kMac);

    cam.AddAddress();
    EXPECT_TRUE(cam.WaitForCall(MacCommand(kMac), kAfterAddress));
    EXPECT_EQ(cam.MacAddress(), kMac);
    EXPECT_TRUE(PastStartup(cam, static_cast<std::uint16_t>(options.port)));
}

TEST_F(StartupTest, RunsNoMacCommandWithoutMacaddr) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const std::string macBefore = cam.MacAddress();
    const ConfigOptions options;
    cam.Start({cam.WriteConfig(options)});
    EXPECT_TRUE(PastStartup(cam, static_cast<std::uint16_t>(options.port)));
    EXPECT_FALSE(AnyIfconfig(cam.Calls()));
    EXPECT_EQ(cam.MacAddress(), macBefore);
}

TEST_F(StartupTest, ReadsQdbootCfgInTheWorkingDirectoryByDefault) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const ConfigOptions options = WithMac(kMac);
    const std::string path = cam.WriteConfig(options, "qdboot.cfg");
    cam.Start();
    EXPECT_TRUE(cam.WaitForCall(MacCommand(kMac), kAfterAddress));
    EXPECT_TRUE(PastStartup(cam, static_cast<std::uint16_t>(options.port)));

    cam.Stop();
    ASSERT_EQ(std::remove(path.c_str()), 0);
    cam.Start();
    EXPECT_EQ(cam.WaitExit(kExitTimeout), 255);
    EXPECT_EQ(cam.Log(), "");
}

TEST_F(StartupTest, FirstArgumentIsTheConfigPathAndTheRestIsIgnored) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    cam.WriteConfig(WithMac(kOtherMac), "qdboot.cfg");
    const ConfigOptions options = WithMac(kMac);
    const std::string chosen = cam.WriteConfig(options, "chosen.cfg");
    cam.Start({chosen, cam.info().workDir + "/qdboot.cfg", "--verbose"});
    EXPECT_TRUE(cam.WaitForCall(MacCommand(kMac), kAfterAddress));
    EXPECT_TRUE(PastStartup(cam, static_cast<std::uint16_t>(options.port)));
    EXPECT_FALSE(cam.WaitForCall(kOtherMac, Millis(0)));
}

}  // namespace
