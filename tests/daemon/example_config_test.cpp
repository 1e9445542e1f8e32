// The example configuration installed as etc/qdboot.cfg must be one the
// daemon accepts, with the values its comments describe. Its MAC address
// line stays commented out, so installing the example as it is never
// changes a camera's MAC address.
#include <gtest/gtest.h>

#include "qdboot_config.h"

namespace {

TEST(ExampleConfig, IsAcceptedWithTheValuesItDescribes) {
    QDBOOT_CFG_T cfg{};
    ASSERT_EQ(LoadQdbootConfig(QD_SOURCE_DIR "/etc/qdboot.cfg", &cfg), 0);
    EXPECT_EQ(cfg.nPort, 8080);
    EXPECT_STREQ(cfg.szDeviceName, "dome-camera");
    EXPECT_STREQ(cfg.szUartArm, "/dev/ttyS1");
    EXPECT_EQ(cfg.emUartBaud, QD_COMM_BITRATE_115200);
    EXPECT_STREQ(cfg.szMainApp, "camapp");
    EXPECT_STREQ(cfg.szMacAddr, "");
    EXPECT_STREQ(cfg.szTmpDir, "/tmp");
    EXPECT_STREQ(cfg.szEraseCmd, "flash_eraseall");
    EXPECT_STREQ(cfg.szCopyCmd, "flashcp");
    EXPECT_EQ(cfg.nBlockSize, 0x10000);

    // The boot loader is named but not rewritten; kernel and root file
    // system are.
    const MTDCFG_T* parts[] = {&cfg.stUboot, &cfg.stKernel, &cfg.stRootfs};
    const char* names[] = {"/dev/mtd0", "/dev/mtd1", "/dev/mtd2"};
    const int allMtd[] = {0, 1, 1};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(parts[i]->bValid, 1) << names[i];
        EXPECT_STREQ(parts[i]->szMtdName, names[i]);
        EXPECT_EQ(parts[i]->bAllMtd, allMtd[i]) << names[i];
    }
    EXPECT_EQ(cfg.stKernel.nPos + cfg.stKernel.nSize, cfg.stRootfs.nPos);
}

}  // namespace
