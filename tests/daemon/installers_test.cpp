// The install callback with logging stand-ins for the flash tools first in
// PATH: command lines, their order, which files stay, and scripts that run
// exactly the file they name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "QDComm.h"
#include "installers.h"
#include "mdu_sim_run.h"
#include "qd_text.h"
#include "qdboot_config.h"
#include "stand_in_tools.h"
#include "test_support.h"

namespace {

using qdtest::FileExists;

class Installers : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qd::CopyText(cfg_.szEraseCmd, "flash_eraseall"));
        ASSERT_TRUE(qd::CopyText(cfg_.szCopyCmd, "flashcp"));
        cfg_.stKernel = Partition("/dev/mtd2", 1);
        for (const char* tool : {"flash_eraseall", "flashcp", "nandwrite", "side.sh"}) {
            tools_.Logging(tool);
        }
        ASSERT_TRUE(tools_.First("flashcp"));
    }

    static MTDCFG_T Partition(const char* name, int allMtd) {
        MTDCFG_T mtd{};
        mtd.bValid = 1;
        mtd.bAllMtd = allMtd;
        EXPECT_TRUE(qd::CopyText(mtd.szMtdName, name));
        return mtd;
    }

    std::string Image(const std::string& name = "updatetmp.bin") const {
        qdtest::WriteFile(dir_.file(name), "image");
        return dir_.file(name);
    }

    // Runs the callback as an upload does, with cfg_ lent to it; checks its
    // result and returns what it printed.
    // `destination` is the item's destination name ("" for a temporary file).
    std::string Install(int type, const std::string& path, int expected = 0,
                        const std::string& destination = "") {
        const InstallConfigScope installWith(cfg_);
        qdtest::StdoutCapture out;
        EXPECT_EQ(qdboot_updatecallback(path.c_str(), destination.c_str(),
                                        static_cast<QDUPK_ITEM_TYPE>(type), "", "", 0),
                  expected);
        return out.Finish();
    }

    std::string Calls() const { return tools_.Calls(); }

    QDBOOT_CFG_T cfg_{};
    qdtest::ScratchDir dir_;
    qdtest::StandInTools tools_{dir_.path()};
    std::string calls_ = tools_.callsPath();
};

TEST_F(Installers, KernelImageIsErasedThenCopiedWithFlashcp) {
    const std::string image = Image();
    EXPECT_EQ(Install(QDUPK_ITEM_KERNEL, image),
              "erase cmd  :flash_eraseall /dev/mtd2 \n"
              "copy  cmd  :flashcp -v " +
                  image + " /dev/mtd2 \n");
    EXPECT_EQ(Calls(), "flash_eraseall /dev/mtd2\nflashcp -v " + image + " /dev/mtd2\n");
    EXPECT_TRUE(FileExists(image)) << "the temporary image is the package library's to remove";
}

// Only an upload lends the callback its settings; called at any other time
// (before the first upload, or after one has ended) it must not flash with
// whatever settings it last saw or with none at all.
TEST_F(Installers, OutsideAnUploadNothingIsInstalledAndTheItemFails) {
    { const InstallConfigScope lent(cfg_); }
    const std::string image = Image();
    qdtest::StdoutCapture out;
    EXPECT_NE(qdboot_updatecallback(image.c_str(), "", QDUPK_ITEM_KERNEL, "", "", 0), 0);
    EXPECT_NE(out.Finish().find("ERROR("), std::string::npos);
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(FileExists(image));
}

TEST_F(Installers, CopyProgramWithoutFlashcpInItsNameGetsPartitionFirst) {
    cfg_.stRootfs = Partition("/dev/mtd4", 1);
    ASSERT_TRUE(qd::CopyText(cfg_.szCopyCmd, "nandwrite"));
    std::string image = Image();
    Install(QDUPK_ITEM_ROOTFS, image);
    EXPECT_EQ(Calls(), "flash_eraseall /dev/mtd4\nnandwrite -p /dev/mtd4 " + image + "\n");

    // Any path that contains "flashcp" takes the "-v" form.
    ASSERT_TRUE(qd::CopyText(cfg_.szCopyCmd, tools_.path("flashcp").c_str()));
    image = Image();
    EXPECT_NE(Install(QDUPK_ITEM_ROOTFS, image).find(" -v " + image + " /dev/mtd4"),
              std::string::npos);
}

TEST_F(Installers, PartitionsNotToBeWrittenRunAndPrintNothing) {
    // Unconfigured root file system: the file is left to the package library.
    const std::string image = Image();
    EXPECT_EQ(Install(QDUPK_ITEM_ROOTFS, image), "");
    EXPECT_TRUE(FileExists(image));
    // Boot loader with bAllMtd 0.
    cfg_.stUboot = Partition("/dev/mtd0", 0);
    EXPECT_EQ(Install(QDUPK_ITEM_UBOOT, image), "");
    // Types without an installer leave their file alone.
    const std::string file = Image("plain.bin");
    for (int type : {int{QDUPK_ITEM_APP}, int{QDUPK_ITEM_FILE}, 99}) {
        EXPECT_EQ(Install(type, file), "");
    }
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(Calls(), "");
}

TEST_F(Installers, OverLongFlashCommandIsRefusedAndNothingRuns) {
    std::string deep = dir_.path();
    while (deep.size() < 1100) {
        deep += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    const std::string image = deep + "/updatetmp.bin";
    qdtest::WriteFile(image, "image");
    const std::string out = Install(QDUPK_ITEM_KERNEL, image, -1);
    EXPECT_NE(out.find("ERROR("), std::string::npos) << out;
    EXPECT_EQ(out.find("cmd  :"), std::string::npos) << out;
    EXPECT_EQ(Calls(), "");
}

// An erased partition without its image must never be acknowledged: the
// item fails, naming the command and how it ended; the copy still runs
// after a failed erase.
TEST_F(Installers, FailingOrMissingFlashToolFailsTheItem) {
    const std::string line = "echo \"${0##*/} $*\" >> '" + calls_ + "'";
    struct Case {
        const char* what;
        std::string erase, copy, expectedError;
    };
    const Case cases[] = {
        {"erase fails", line + "; exit 3", line, "exit status 3: flash_eraseall /dev/mtd2"},
        {"copy fails", line, line + "; exit 1", "exit status 1: flashcp -v "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tools_.Add("flash_eraseall", c.erase);
        tools_.Add("flashcp", c.copy);
        std::remove(calls_.c_str());
        const std::string image = Image();
        const std::string out = Install(QDUPK_ITEM_KERNEL, image, -1);
        EXPECT_NE(out.find("ERROR("), std::string::npos) << out;
        EXPECT_NE(out.find(c.expectedError), std::string::npos) << out;
        EXPECT_EQ(Calls(), "flash_eraseall /dev/mtd2\nflashcp -v " + image + " /dev/mtd2\n");
    }
    SCOPED_TRACE("copy program not installed");
    ASSERT_TRUE(qd::CopyText(cfg_.szCopyCmd, "no-such-flash-tool"));
    const std::string out = Install(QDUPK_ITEM_KERNEL, Image(), -1);
    EXPECT_NE(out.find("exit status 127: no-such-flash-tool -p /dev/mtd2 "), std::string::npos)
        << out;
}

TEST_F(Installers, ScriptRunsExactlyTheFileItNames) {
    const std::string marker = dir_.file("ran");
    const std::string odd = dir_.file("it's a $(side.sh) ; side.sh `side.sh` &.sh");
    qdtest::WriteFile(odd, "#!/bin/sh\necho odd >> '" + marker + "'\n");
    chmod(odd.c_str(), 0777);
    Install(QDUPK_ITEM_BASH, odd);
    EXPECT_EQ(qdtest::ReadFile(marker), "odd\n");
    EXPECT_TRUE(FileExists(odd)) << "a script's file is left to the package library";

    // A relative name is the file in the working directory, not a program
    // of that name somewhere in PATH.
    qdtest::WriteFile(dir_.file("side.sh"), "#!/bin/sh\necho local >> '" + marker + "'\n");
    chmod(dir_.file("side.sh").c_str(), 0777);
    const qdtest::ScopedChdir here(dir_.path());
    Install(QDUPK_ITEM_BASH, "side.sh");
    EXPECT_EQ(qdtest::ReadFile(marker), "odd\nlocal\n");
    EXPECT_EQ(Calls(), "");
}

// Paths reach the shell as arguments, never as its text: a script or image
// whose name holds shell syntax is one argument to the program, and nothing
// in the name runs (side.sh would log a call).
TEST_F(Installers, PathsWithShellCharactersReachTheProgramAsOneArgument) {
    const std::string odd = "a b;side.sh $(side.sh) `side.sh` it's \"x\" &\n|side.sh";
    const std::string dir = dir_.file(odd);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string marker = dir_.file("ran");
    const std::string script = dir + "/" + odd + ".sh";
    qdtest::WriteFile(script, "#!/bin/sh\nprintf '%s|' \"$0\" \"$#\" > '" + marker + "'\n");
    chmod(script.c_str(), 0777);
    Install(QDUPK_ITEM_BASH, script);
    EXPECT_EQ(qdtest::ReadFile(marker), script + "|0|");

    tools_.Add("flashcp", "printf '%s|' \"$#\" \"$@\" >> '" + calls_ + "'");
    const std::string image = dir + "/updatetmp.bin";
    qdtest::WriteFile(image, "image");
    EXPECT_EQ(
        Install(QDUPK_ITEM_KERNEL, image),
        "erase cmd  :flash_eraseall /dev/mtd2 \ncopy  cmd  :flashcp -v " + image + " /dev/mtd2 \n");
    EXPECT_EQ(Calls(), "flash_eraseall /dev/mtd2\n3|-v|" + image + "|/dev/mtd2|");
}

// The transfer itself is the MCU updater's; here: firmware the package left
// at its destination goes whether the transfer worked or not, a temporary
// file is left to the package library, and the callback never fails.
TEST_F(Installers, McuFirmwareIsSentAndAnyCopyAtItsDestinationRemoved) {
    ASSERT_TRUE(qdtest::InstallKillallStandIn(dir_));
    qdtest::McuSimRun sim(dir_);
    ASSERT_TRUE(qd::CopyText(cfg_.szUartArm, sim.slavePath().c_str()));
    cfg_.emUartBaud = QD_COMM_BITRATE_115200;
    ASSERT_TRUE(qd::CopyText(cfg_.szMainApp, "mainapp"));
    const std::string firmware = Image("mcu.bin");
    Install(QDUPK_ITEM_MCUARM, firmware, 0, firmware);
    EXPECT_FALSE(FileExists(firmware));
    EXPECT_EQ(qdtest::ReadFile(sim.imagePath()), "image");
    EXPECT_EQ(qdtest::KillallCalls(dir_), "mainapp\n");

    ASSERT_TRUE(qd::CopyText(cfg_.szUartArm, "/dev/qd-none"));
    const std::string second = Image("mcu2.bin");
    Install(QDUPK_ITEM_MCUARM, second, 0, second);
    EXPECT_FALSE(FileExists(second));
    const std::string temporary = Image();
    Install(QDUPK_ITEM_MCUARM, temporary);
    EXPECT_TRUE(FileExists(temporary));
}

}  // namespace
