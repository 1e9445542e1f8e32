#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qdboot_config.h"
#include "target_exec.h"
#include "test_support.h"

namespace {

const std::string kValid =
    "[system]\nport=8080\ndevname=dome-cam\nuart_arm=/dev/ttyS1\nuart_baud=115200\n"
    "mainApp=camapp\nmacaddr=00:11:22:33:44:55\ntmpdir=/tmp\nflash_eraseall=flash_eraseall\n"
    "flashcp=flashcp\nnBlockSize=65536\n"
    "[uboot]\nszMtdName=/dev/mtd0\nbAllMtd=1\nnPos=0\nnSize=0x40000\n"
    "[kernel]\nbAllMtd=1\n"
    "[rootfs]\nszMtdName=/dev/mtd3\nbAllMtd=0\nnPos=010\nnSize=4096\n";

const char* const kRequiredKeys[] = {"port",   "devname", "uart_arm",       "uart_baud", "mainApp",
                                     "tmpdir", "flashcp", "flash_eraseall", "nBlockSize"};

// text with the line of `key` replaced by `line` (removed when empty).
std::string Replace(std::string text, const std::string& key, const std::string& line) {
    const std::size_t at = text.find("\n" + key + "=") + 1;
    text.replace(at, text.find('\n', at) + 1 - at, line.empty() ? "" : line + "\n");
    return text;
}

std::string With(const std::string& key, const std::string& line) {
    return Replace(kValid, key, line);
}

class QdbootConfigTest : public ::testing::Test {
  protected:
    int Load(const std::string& text) {
        qdtest::WriteFile(dir_.file("qdboot.cfg"), text);
        return LoadQdbootConfig(dir_.file("qdboot.cfg").c_str(), &cfg_);
    }

    qdtest::ScratchDir dir_;
    QDBOOT_CFG_T cfg_{};
};

TEST_F(QdbootConfigTest, ReadsEveryField) {
    ASSERT_EQ(Load(kValid), 0);
    EXPECT_EQ(cfg_.nPort, 8080);
    EXPECT_STREQ(cfg_.szDeviceName, "dome-cam");
    EXPECT_STREQ(cfg_.szUartArm, "/dev/ttyS1");
    EXPECT_EQ(cfg_.emUartBaud, QD_COMM_BITRATE_115200);
    EXPECT_STREQ(cfg_.szMainApp, "camapp");
    EXPECT_STREQ(cfg_.szMacAddr, "00:11:22:33:44:55");
    EXPECT_STREQ(cfg_.szTmpDir, "/tmp");
    EXPECT_STREQ(cfg_.szEraseCmd, "flash_eraseall");
    EXPECT_STREQ(cfg_.szCopyCmd, "flashcp");
    EXPECT_EQ(cfg_.nBlockSize, 65536);
    EXPECT_STREQ(cfg_.szIpAddr, "");
    EXPECT_EQ(cfg_.stUboot.bValid, 1);
    EXPECT_STREQ(cfg_.stUboot.szMtdName, "/dev/mtd0");
    EXPECT_EQ(cfg_.stUboot.nSize, 0x40000);
    EXPECT_EQ(cfg_.stKernel.bValid, 0);  // no szMtdName: not configured
    EXPECT_EQ(cfg_.stRootfs.bValid, 1);
    EXPECT_EQ(cfg_.stRootfs.bAllMtd, 0);
    EXPECT_EQ(cfg_.stRootfs.nPos, 8);
}

TEST_F(QdbootConfigTest, PortKeepsLow16BitsAndBaudIsMapped) {
    for (const char* port : {"port=73616", "port=0x1F90"}) {
        ASSERT_EQ(Load(With("port", port)), 0) << port;
        EXPECT_EQ(cfg_.nPort, 8080) << port;
    }
    ASSERT_EQ(Load(With("uart_baud", "uart_baud=9600")), 0);
    EXPECT_EQ(cfg_.emUartBaud, QD_COMM_BITRATE_9600);
    ASSERT_EQ(Load(With("uart_baud", "uart_baud=4800")), 0);
    EXPECT_EQ(cfg_.emUartBaud, QD_COMM_BITRATE_4800);
    for (const char* port : {"port=0", "port=65536", "port=http"}) {
        EXPECT_EQ(Load(With("port", port)), -1) << port << " leaves no usable port";
    }
    EXPECT_EQ(Load(With("uart_baud", "uart_baud=19200")), -1);
    EXPECT_EQ(Load(With("uart_baud", "uart_baud=fast")), -1);
}

TEST_F(QdbootConfigTest, RefusesMissingOrEmptyRequiredSettings) {
    for (const char* key : kRequiredKeys) {
        EXPECT_EQ(Load(With(key, "")), -1) << key << " missing";
    }
    for (const char* key : {"tmpdir", "flash_eraseall", "flashcp"}) {
        EXPECT_EQ(Load(With(key, std::string(key) + "=")), -1) << key << " empty";
    }
    EXPECT_EQ(Load(With("tmpdir", "tmpdir= ")), -1) << "a lone blank is trimmed away";
    EXPECT_EQ(LoadQdbootConfig(dir_.file("none.cfg").c_str(), &cfg_), -1);
}

TEST_F(QdbootConfigTest, AcceptsEmptyOptionalTextsAndCutsLongOnes) {
    ASSERT_EQ(Load(With("macaddr", "")), 0);
    EXPECT_STREQ(cfg_.szMacAddr, "");

    std::string text = kValid;
    for (const char* key : {"devname", "uart_arm", "mainApp"}) {
        text = Replace(text, key, std::string(key) + "=");
    }
    ASSERT_EQ(Load(text), 0);
    EXPECT_STREQ(cfg_.szDeviceName, "");
    EXPECT_STREQ(cfg_.szUartArm, "");
    EXPECT_STREQ(cfg_.szMainApp, "");

    const std::string x(300, 'x');
    text = kValid;
    for (const char* key : {"devname", "uart_arm", "mainApp", "macaddr"}) {
        text = Replace(text, key, std::string(key).append("=").append(x));
    }
    ASSERT_EQ(Load(text), 0);
    EXPECT_EQ(std::string(cfg_.szDeviceName), x.substr(0, 63));
    EXPECT_EQ(std::string(cfg_.szUartArm), x.substr(0, 15));
    EXPECT_EQ(std::string(cfg_.szMainApp), x.substr(0, 47));
    EXPECT_EQ(std::string(cfg_.szMacAddr), x.substr(0, 31));
}

TEST_F(QdbootConfigTest, TmpdirMustLeaveRoomForComposedPaths) {
    const std::string longest = "/" + std::string(kMaxTmpDirChars - 1, 'd');
    ASSERT_EQ(Load(With("tmpdir", "tmpdir=" + longest)), 0);
    EXPECT_EQ(std::string(cfg_.szTmpDir), longest);
    EXPECT_EQ(Load(With("tmpdir", "tmpdir=" + longest + "d")), -1);
}

TEST_F(QdbootConfigTest, NamedPartitionNeedsAllItsKeys) {
    MTDCFG_T mtd{};
    qdtest::WriteFile(dir_.file("p.cfg"),
                      "[k]\nszMtdName=/dev/mtd2\nbAllMtd=1\nnPos=2\n[e]\nszMtdName=\n");
    EXPECT_EQ(GetQdBootMtdCfg(dir_.file("p.cfg").c_str(), "k", &mtd), -1);
    EXPECT_EQ(mtd.bValid, 0);
    EXPECT_EQ(GetQdBootMtdCfg(dir_.file("p.cfg").c_str(), "e", &mtd), 0);
    EXPECT_EQ(GetQdBootMtdCfg(dir_.file("p.cfg").c_str(), "missing", &mtd), 0);
    EXPECT_EQ(mtd.bValid, 0);
}

const std::string kKeyHex = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";

class SealConfigTest : public QdbootConfigTest {
  protected:
    int LoadSeal(const std::string& section) {
        qdtest::WriteFile(dir_.file("qdboot.cfg"), kValid + "[seal]\n" + section);
        return LoadSealConfig(dir_.file("qdboot.cfg").c_str(), &seal_);
    }

    SealConfig seal_{};
};

TEST_F(SealConfigTest, ReadsKeysInSlotOrderAndTheCounterPath) {
    ASSERT_EQ(LoadQdbootConfig(QD_SOURCE_DIR "/etc/qdboot.cfg", &cfg_), 0);
    ASSERT_EQ(LoadSealConfig(QD_SOURCE_DIR "/etc/qdboot.cfg", &seal_), 0);
    EXPECT_EQ(seal_.nKeys, 0) << "the example enforces nothing";
    EXPECT_STREQ(seal_.szCounterFile, "");

    std::string key2 = kKeyHex;
    std::reverse(key2.begin(), key2.end());
    ASSERT_EQ(LoadSeal("key1=" + kKeyHex + "\nkey2=" + key2 + "\ncounter_file=/var/qd/counter\n"),
              0);
    EXPECT_EQ(seal_.nKeys, 2);
    EXPECT_EQ(seal_.byKeys[0], 0x00);
    EXPECT_EQ(seal_.byKeys[5], 0x55);
    EXPECT_EQ(seal_.byKeys[16], 0xFF);
    EXPECT_EQ(seal_.byKeys[31], 0x00);
    EXPECT_EQ(seal_.byKeys[32], 0x00);
    EXPECT_EQ(seal_.byKeys[33], 0x11);
    EXPECT_STREQ(seal_.szCounterFile, "/var/qd/counter");

    ASSERT_EQ(LoadSeal("key1=" + kKeyHex + "\n"), 0);
    EXPECT_EQ(seal_.nKeys, 1);
    EXPECT_STREQ(seal_.szCounterFile, "");
}

// A key that is present but unusable must not quietly leave the camera
// accepting unsigned packages, and a counter without a key protects
// nothing: all refused.
TEST_F(SealConfigTest, RefusesKeysAndPathsThatAreNotUsable) {
    const std::string longest = "/" + std::string(kMaxCounterPathChars - 1, 'c');
    ASSERT_EQ(LoadSeal("key1=" + kKeyHex + "\ncounter_file=" + longest + "\n"), 0);
    EXPECT_EQ(std::string(seal_.szCounterFile), longest);

    const std::string refused[] = {
        "key1=" + kKeyHex.substr(1) + "\n",
        "key1=" + kKeyHex + "0\n",
        "key1=" + kKeyHex.substr(0, 63) + "g\n",
        "key1=\n",
        "key1=" + kKeyHex + "\nkey2=\n",
        "key2=" + kKeyHex + "\n",
        "counter_file=/var/qd/counter\n",
        "key1=" + kKeyHex + "\ncounter_file=\n",
        "key1=" + kKeyHex + "\ncounter_file=" + longest + "c\n",
    };
    for (const std::string& section : refused) {
        EXPECT_EQ(LoadSeal(section), -1) << section;
    }
}

// The executable ends with status 255 and prints nothing; these configs
// are refused before any network work, so running it here is harmless.
// The daemon runs in an empty network namespace of its own (no eth0, only a
// down loopback), so even a configuration wrongly accepted could reach no
// network: it would wait for an address until the time-out ends it.
TEST(QdbootExecutable, RefusedConfigurationExitsSilentlyWith255) {
    if (::geteuid() != 0 || std::system("unshare --net true 2>/dev/null") != 0) {
        GTEST_SKIP() << "needs root and unshare --net for an isolated network namespace";
    }
    const std::string data = std::string(QD_SOURCE_DIR) + "/tests/data/daemon/";
    for (const char* name :
         {"baud_19200.cfg", "kernel_without_nsize.cfg", "empty_tmpdir.cfg", "tmpdir_114_chars.cfg",
          "seal_counter_without_key.cfg", "does_not_exist.cfg"}) {
        const std::string command =
            "timeout 10 unshare --net " +
            qdtest::TargetShellCommand(qdtest::BuildExecutable("qdboot"), {data + name}) + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        for (int c = 0; (c = std::fgetc(pipe)) != EOF;) {
            output += static_cast<char>(c);
        }
        const int status = ::pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << name << " " << status;
        EXPECT_EQ(output, "") << name;
    }
}

}  // namespace
