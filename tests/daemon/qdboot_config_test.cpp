#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config_check.h"
#include "libqdupdate.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "qdboot_config_status.h"
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

// Public keys of the RFC 8032 test vectors: valid points, as a camera's
// keys are.
const std::string kKey1Hex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const std::string kKey2Hex = "3D4017C3E843895A92B70AA74D1B7EBC9C982CCF2EC4968CC0CD55F12AF4660C";
const std::string kWeakHex(64, '0');  // a placeholder: of small order

class SealConfigTest : public QdbootConfigTest {
  protected:
    const SealConfig& LoadSeal(const std::string& text) {
        qdtest::WriteFile(dir_.file("qdboot.cfg"), text);
        LoadSealConfig(dir_.file("qdboot.cfg").c_str(), &seal_);
        return seal_;
    }
    const SealConfig& LoadSection(const std::string& section) {
        return LoadSeal(kValid + "[seal]\n" + section);
    }
    std::string Key(std::size_t slot) const {
        return std::string(reinterpret_cast<const char*>(seal_.byKeys) + slot * QDUPK_KEY_SIZE,
                           QDUPK_KEY_SIZE);
    }
    // The id the package library gives the key in `slot`.
    std::string ExpectedId(std::size_t slot) const {
        unsigned char id[QDUPK_KEYID_SIZE];
        static_cast<void>(libqdupk_checkkey(seal_.byKeys + slot * QDUPK_KEY_SIZE, id));
        return std::string(reinterpret_cast<const char*>(id), sizeof id);
    }
    std::string Id(std::size_t slot) const {
        return std::string(reinterpret_cast<const char*>(seal_.byKeyIds) + slot * QDUPK_KEYID_SIZE,
                           QDUPK_KEYID_SIZE);
    }

    SealConfig seal_{};
};

using Slot = SealKeySlot;

TEST_F(SealConfigTest, ReadsKeysInTheirSlotsAndTheCounterPath) {
    LoadSeal(qdtest::ReadFile(QD_SOURCE_DIR "/etc/qdboot.cfg"));
    EXPECT_FALSE(SealKeysConfigured(seal_)) << "the example enforces nothing";
    EXPECT_STREQ(seal_.szSlip, "");

    LoadSection("key1=" + kKey1Hex + "\nkey2=" + kKey2Hex + "\ncounter_file=/var/qd/counter\n");
    EXPECT_EQ(seal_.emSlots[0], Slot::kUsable);
    EXPECT_EQ(seal_.emSlots[1], Slot::kUsable);
    EXPECT_EQ(Key(0).substr(0, 3), std::string("\xd7\x5a\x98"));
    EXPECT_EQ(Key(1).substr(29), std::string("\xf4\x66\x0c"));
    EXPECT_EQ(Id(0), ExpectedId(0));
    EXPECT_EQ(Id(1), ExpectedId(1));
    EXPECT_NE(Id(0), Id(1));
    EXPECT_STREQ(seal_.szCounterFile, "/var/qd/counter");
    EXPECT_STREQ(seal_.szSlip, "");

    // An empty or missing slot is no key; either slot may hold the only one,
    // and an empty counter_file is no counter file.
    struct Case {
        std::string section;
        Slot key1, key2;
    };
    const Case cases[] = {
        {"key1=" + kKey1Hex + "\n", Slot::kUsable, Slot::kEmpty},
        {"key1=" + kKey1Hex + "\nkey2=\ncounter_file=\n", Slot::kUsable, Slot::kEmpty},
        {"key2=" + kKey2Hex + "\n", Slot::kEmpty, Slot::kUsable},
        {"key1=\nkey2=" + kKey2Hex + "\r\n", Slot::kEmpty, Slot::kUsable},
        {"", Slot::kEmpty, Slot::kEmpty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        LoadSection(c.section);
        EXPECT_EQ(seal_.emSlots[0], c.key1);
        EXPECT_EQ(seal_.emSlots[1], c.key2);
        EXPECT_STREQ(seal_.szCounterFile, "");
        EXPECT_STREQ(seal_.szSlip, "") << seal_.szSlip;
    }
}

// A value that is no usable key takes nothing, but never empties its slot:
// the camera still demands signatures.
TEST_F(SealConfigTest, AnUnusableKeyMarksItsSlotAndKeepsSignaturesRequired) {
    const std::string longest = "/" + std::string(kMaxCounterPathChars - 1, 'c');
    LoadSection("key1=" + kKey1Hex + "\ncounter_file=" + longest + "\n");
    EXPECT_EQ(std::string(seal_.szCounterFile), longest);
    EXPECT_STREQ(seal_.szSlip, "");

    const std::string malformed[] = {kKey1Hex.substr(1), kKey1Hex + "0",
                                     kKey1Hex.substr(0, 63) + "g", " " + kKey1Hex};
    for (const std::string& value : malformed) {
        SCOPED_TRACE(value);
        LoadSection("key2=" + value + "\n");
        EXPECT_EQ(seal_.emSlots[1], Slot::kMalformed);
        EXPECT_TRUE(SealKeysConfigured(seal_));
        EXPECT_FALSE(SealHasUsableKey(seal_));
    }
    for (const std::string& weak : {kWeakHex, "01" + std::string(62, '0')}) {
        LoadSection("key1=" + kKey1Hex + "\nkey2=" + weak + "\n");
        EXPECT_EQ(seal_.emSlots[0], Slot::kUsable);
        EXPECT_EQ(seal_.emSlots[1], Slot::kWeak) << weak;
        EXPECT_EQ(Id(1), ExpectedId(1)) << "named by its id in the start-up line";
        EXPECT_STREQ(seal_.szSlip, "");
    }
}

// Spellings the lookups pass over would leave a camera less protected than
// its configuration says; each is a slip, named, and never ends the daemon.
TEST_F(SealConfigTest, SlipsAreFoundAndTheFirstIsNamed) {
    const std::string key = "key1=" + kKey1Hex + "\n";
    struct Case {
        std::string text;
        const char* named;
    };
    const Case cases[] = {
        {kValid + "[Seal]\n" + key, "section [Seal] is not read"},
        {kValid + "[SEAL]\n" + key, "section [SEAL] is not read"},
        {kValid + "[se-al]\n" + key, "section [se-al] is not read"},
        {kValid + "[seal]\nKey1=" + kKey1Hex + "\n", "unknown key \"Key1\" in [seal]"},
        {kValid + "[seal]\n" + key + "key_2=" + kKey2Hex + "\n", "unknown key \"key_2\""},
        {Replace(kValid, "port", "port=8080\n" + key), "\"key1\" is not read in [system]"},
        {key + kValid, "\"key1\" is not read above the first section"},
        {kValid + "[kernel]\nCounter-File=/x\n", "\"Counter-File\" is not read in [kernel]"},
        {kValid + "[seal]\n" + key + "[seal]\nkey2=" + kKey2Hex + "\n", "[seal] is given twice"},
        {kValid + "[seal]\n" + key + "key1=" + kKey2Hex + "\n", "key1 is given twice"},
        {kValid + "[seal]\nkey1=\n", "every key line in [seal] is empty"},
        {kValid + "[seal]\nkey2=\n", "every key line in [seal] is empty"},
        {kValid + "[seal]\nkey1=\nkey2=\ncounter_file=/x\n", "every key line in [seal] is empty"},
        {kValid + "[seal]\ncounter_file=/x\n", "counter_file needs a usable key1 or key2"},
        {kValid + "[seal]\nkey1=" + kWeakHex + "\ncounter_file=/x\n", "counter_file needs"},
        {kValid + "[seal]\n" + key + "counter_file=/" + std::string(kMaxCounterPathChars, 'c'),
         "counter_file is longer than 250 characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LoadSeal(c.text);
        EXPECT_GE(seal_.nSlips, 1);
        EXPECT_NE(std::string(seal_.szSlip).find(c.named), std::string::npos) << seal_.szSlip;
    }
    LoadSeal("[Seal]\n" + key + kValid + "[seal]\nkey3=x\n");
    EXPECT_EQ(seal_.nSlips, 3) << "[Seal], key1 in it, and key3";
    EXPECT_NE(std::string(seal_.szSlip).find("[Seal]"), std::string::npos) << seal_.szSlip;
    LoadSealConfig(dir_.file("missing.cfg").c_str(), &seal_);
    EXPECT_NE(std::string(seal_.szSlip).find("cannot be read"), std::string::npos);
}

// The executable ends with status 255 and prints nothing; these configs
// are refused before any network work, so running it here is harmless.
// The daemon runs in an empty network namespace of its own (no eth0, only a
// down loopback), so even a configuration wrongly accepted could reach no
// network: it would wait for an address until the time-out ends it.
// [bootenv] never stops the daemon: what is wrong is recorded and refuses
// only packages that write the flash.
TEST(BootenvConfigTest, ReadsTheSectionAndTheSecondSlotsOrNamesTheProblem) {
    const qdtest::ScratchDir dir;
    const std::string path = dir.file("qdboot.cfg");
    const std::string slots =
        "[kernel]\nszMtdName=/dev/mtd1\nszMtdNameB=/dev/mtd4\nbAllMtd=1\nnPos=0\nnSize=1\n"
        "[rootfs]\nszMtdName=/dev/mtd2\nszMtdNameB=/dev/mtd5\nbAllMtd=1\nnPos=0\nnSize=1\n";
    const std::string system = kValid.substr(0, kValid.find("[kernel]"));
    BootenvConfig boot{};
    qdtest::WriteFile(path, system + slots);
    LoadBootenvConfig(path.c_str(), &boot);
    EXPECT_FALSE(boot.bPresent);
    EXPECT_STREQ(boot.szKernelB, "/dev/mtd4");

    qdtest::WriteFile(path, slots +
                                "[bootenv]\nconfig=/etc/fw_env.config\nhealth=pidof camapp\n"
                                "health_timeout=30\nallow_uboot=1\n");
    LoadBootenvConfig(path.c_str(), &boot);
    EXPECT_TRUE(boot.bPresent);
    EXPECT_STREQ(boot.szProblem, "");
    EXPECT_STREQ(boot.szConfig, "/etc/fw_env.config");
    EXPECT_STREQ(boot.szCmdline, "/proc/cmdline");
    EXPECT_STREQ(boot.szHealth, "pidof camapp");
    EXPECT_EQ(boot.nHealthTimeoutS, 30);
    EXPECT_TRUE(boot.bAllowUboot);
    EXPECT_STREQ(boot.szRootfsB, "/dev/mtd5");
    QDBOOT_CFG_T cfg{};
    qdtest::WriteFile(path, system + slots);
    ASSERT_EQ(LoadQdbootConfig(path.c_str(), &cfg), 0);
    EXPECT_TRUE(BootenvHasSlots(boot, cfg));
    EXPECT_STREQ(ConfigForSlot(cfg, boot, 'b').stKernel.szMtdName, "/dev/mtd4");
    EXPECT_STREQ(ConfigForSlot(cfg, boot, 'a').stRootfs.szMtdName, "/dev/mtd2");

    const struct {
        const char* section;
        const char* problem;
    } wrong[] = {
        {"[bootenv]\nhealth=true\n", "[bootenv] has no config"},
        {"[bootenv]\nconfig=\n", "[bootenv] has no config"},
        {"[bootenv]\nconfig=c\nhealth_timout=5\n", "unknown key \"health_timout\""},
        {"[bootenv]\nconfig=c\nhealth_timeout=0\n", "health_timeout"},
        {"[bootenv]\nconfig=c\nhealth_timeout=12s\n", "health_timeout"},
        {"[bootenv]\nconfig=c\nallow_uboot=yes\n", "allow_uboot"},
    };
    for (const auto& w : wrong) {
        qdtest::WriteFile(path, w.section);
        LoadBootenvConfig(path.c_str(), &boot);
        EXPECT_TRUE(boot.bPresent) << w.section;
        EXPECT_NE(std::string(boot.szProblem).find(w.problem), std::string::npos)
            << w.section << " gave: " << boot.szProblem;
    }
}

// A bad value never reveals more than basic: it is named and taken as basic.
TEST(StatusConfigTest, DetailIsBasicUnlessFullIsSpelledOut) {
    const qdtest::ScratchDir dir;
    const std::string path = dir.file("qdboot.cfg");
    const struct {
        const char* text;
        bool full;
        const char* problem;
    } cases[] = {
        {"[system]\nport=1\n", false, ""},
        {"[status]\n", false, ""},
        {"[status]\ndetail=basic\n", false, ""},
        {"[status]\ndetail=full\n", true, ""},
        {"[status]\ndetail=Full\n", false, "detail=Full in [status] is neither basic nor full"},
        {"[status]\ndetail=fullest-possible-detail\n", false, "detail=fullest-possibl"},
        {"[status]\ndetail=\n", false, "detail= in [status]"},
        {"[system]\ndetail=full\n", false, ""},
    };
    for (const auto& c : cases) {
        qdtest::WriteFile(path, c.text);
        StatusConfig status{};
        status.bFull = !c.full;
        LoadStatusConfig(path.c_str(), &status);
        EXPECT_EQ(status.bFull, c.full) << c.text;
        EXPECT_EQ(std::string(status.szProblem).rfind(c.problem, 0), 0U)
            << c.text << " gave: " << status.szProblem;
    }
}

// text with [kernel] naming a partition and giving none of its other keys.
std::string KernelNamedOnly(std::string text) {
    const std::string kernel = "[kernel]\nbAllMtd=1\n";
    return text.replace(text.find(kernel), kernel.size(), "[kernel]\nszMtdName=/dev/mtd1\n");
}

// What the check prints for the file at `path`, one entry a line, and its
// result.
struct CheckRun {
    int result;
    std::vector<std::string> lines;
};

CheckRun Check(const std::string& path) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    const int result = CheckConfiguration(path.c_str(), out);
    static_cast<void>(std::fclose(out));
    CheckRun run{result, {}};
    std::string all(text, size);
    std::free(text);
    for (std::size_t at = 0, end = 0; at < all.size(); at = end + 1) {
        end = all.find('\n', at);
        run.lines.push_back(all.substr(at, end - at));
    }
    return run;
}

bool HasLine(const CheckRun& run, const std::string& start) {
    return std::any_of(run.lines.begin(), run.lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// Start-up stops at the first refused setting and says nothing; the check
// reads on, so one run names every problem of every section, each once.
TEST(ConfigCheck, NamesEveryProblemWithItsSectionAndKey) {
    const qdtest::ScratchDir dir;
    const std::string path = dir.file("qdboot.cfg");
    std::string text = With("port", "port=0");
    text = Replace(text, "uart_baud", "");
    text = Replace(text, "tmpdir", "tmpdir=");
    text = KernelNamedOnly(text);
    text += "[seal]\nkey1=" + std::string(63, 'a') + "\nkey2=" + std::string(63, 'a') +
            "g\nkey3=x\n[bootenv]\nconfig=/etc/fw_env.config\nhealth_timeout=0\n[status]\n"
            "detail=most\n";
    qdtest::WriteFile(path, text);
    const CheckRun run = Check(path);
    EXPECT_EQ(run.result, 1);
    const char* const expected[] = {"system: port ",
                                    "system: uart_baud ",
                                    "system: tmpdir ",
                                    "kernel: bAllMtd is required when szMtdName is set",
                                    "kernel: nPos ",
                                    "kernel: nSize ",
                                    "seal: key1 is 63 hex digits, needs 64",
                                    "seal: key2 ",
                                    "seal: unknown key \"key3\"",
                                    "bootenv: health_timeout",
                                    "status: detail=most"};
    for (const char* line : expected) {
        EXPECT_TRUE(HasLine(run, line)) << "no line starts with " << line;
    }
    EXPECT_EQ(run.lines.size(), std::size(expected)) << ::testing::PrintToString(run.lines);
    QDBOOT_CFG_T cfg{};
    EXPECT_EQ(LoadQdbootConfig(path.c_str(), &cfg), -1) << "start-up refuses what the check finds";
}

TEST(ConfigCheck, AGoodOrUnreadableFileIsOneLine) {
    const qdtest::ScratchDir dir;
    qdtest::WriteFile(dir.file("valid.cfg"), kValid);
    for (const std::string& path :
         {std::string(QD_SOURCE_DIR "/etc/qdboot.cfg"), dir.file("valid.cfg")}) {
        const CheckRun run = Check(path);
        EXPECT_EQ(run.result, 0) << path << ::testing::PrintToString(run.lines);
        EXPECT_EQ(run.lines.size(), 1U) << path;
    }
    const CheckRun missing = Check(dir.file("none.cfg"));
    EXPECT_EQ(missing.result, 1);
    ASSERT_EQ(missing.lines.size(), 1U) << ::testing::PrintToString(missing.lines);
    EXPECT_TRUE(HasLine(missing, dir.file("none.cfg") + ": ")) << missing.lines[0];
}

// qdboot run with args in a network namespace of its own (no eth0, so a
// start-up that got past the configuration would wait out the time-out).
struct IsolatedRun {
    int status = -1;
    std::string output;
};

IsolatedRun RunIsolated(const std::vector<std::string>& args) {
    const std::string command =
        "timeout 10 unshare --net " +
        qdtest::TargetShellCommand(qdtest::BuildExecutable("qdboot"), args) + " 2>&1";
    IsolatedRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    for (int c = 0; (c = std::fgetc(pipe)) != EOF;) {
        run.output += static_cast<char>(c);
    }
    run.status = ::pclose(pipe);
    return run;
}

TEST(QdbootExecutable, RefusedConfigurationExitsSilentlyWith255) {
    if (::geteuid() != 0 || std::system("unshare --net true 2>/dev/null") != 0) {
        GTEST_SKIP() << "needs root and unshare --net for an isolated network namespace";
    }
    const std::string data = std::string(QD_SOURCE_DIR) + "/tests/data/daemon/";
    for (const char* name : {"baud_19200.cfg", "kernel_without_nsize.cfg", "empty_tmpdir.cfg",
                             "tmpdir_114_chars.cfg", "does_not_exist.cfg"}) {
        const IsolatedRun run = RunIsolated({data + name});
        ASSERT_NE(run.status, -1) << "qdboot could not be run";
        const int status = run.status;
        const std::string& output = run.output;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << name << " " << status;
        EXPECT_EQ(output, "") << name;
    }
}

// The check ends on its own in a namespace without eth0, where start-up
// would wait for an address until the time-out.
TEST(QdbootExecutable, CheckExitsWithItsFindings) {
    if (::geteuid() != 0 || std::system("unshare --net true 2>/dev/null") != 0) {
        GTEST_SKIP() << "needs root and unshare --net for an isolated network namespace";
    }
    const qdtest::ScratchDir dir;
    qdtest::WriteFile(dir.file("good.cfg"), kValid);
    qdtest::WriteFile(dir.file("bad.cfg"), KernelNamedOnly(kValid));
    for (const char* name : {"good.cfg", "bad.cfg"}) {
        const IsolatedRun run = RunIsolated({"--check", dir.file(name)});
        ASSERT_NE(run.status, -1) << "qdboot could not be run";
        const int status = run.status;
        const std::string& output = run.output;
        const bool good = std::string(name) == "good.cfg";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (good ? 0 : 1))
            << name << " " << status << "\n"
            << output;
        EXPECT_EQ(output.find("kernel: bAllMtd is required") != std::string::npos, !good) << output;
    }
}

}  // namespace
