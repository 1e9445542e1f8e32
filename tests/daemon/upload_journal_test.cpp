// Uploads with the boot journal: a whole upload on a socket pair, with
// logging stand-ins for the flash tools first in PATH and a redundant
// environment in plain files. What reached the flash, and what the
// journal says at each point.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "boot_env_fixture.h"
#include "libqdupdate.h"
#include "package_seal.h"
#include "package_writer.h"
#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "sealed_package.h"
#include "service_loop.h"
#include "stand_in_tools.h"
#include "test_support.h"
#include "upload.h"
#include "upload_journal.h"

namespace {

std::string Framed(const std::string& package) {
    unsigned char header[8];
    qd::StoreBe32(header, qd::kUploadMagic);
    qd::StoreBe32(header + 4, static_cast<std::uint32_t>(package.size()));
    return std::string(reinterpret_cast<char*>(header), sizeof header) + package;
}

std::string Identity(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

class JournalUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qd::CopyText(cfg_.szTmpDir, dir_.path().c_str()));
        ASSERT_TRUE(qd::CopyText(cfg_.szEraseCmd, "flash_eraseall"));
        ASSERT_TRUE(qd::CopyText(cfg_.szCopyCmd, "flashcp"));
        cfg_.stKernel = Partition("kernel_a");
        cfg_.stRootfs = Partition("rootfs_a");
        cfg_.stUboot = Partition("uboot");
        // Each flash command logs itself and the journal's state as it runs.
        // flashcp is run as "flashcp -v IMAGE DEVICE".
        const std::string state = " $(fw_printenv -n -c '" + env_.config() + "' qd_state)\" >> '" +
                                  tools_.callsPath() + "'";
        tools_.Add("flash_eraseall", "echo \"${0##*/} ${1##*/}" + state);
        tools_.Add("flashcp", "echo \"${0##*/} ${3##*/}" + state +
                                  "\ncase \"$3\" in *\"${failOn:-unset-}\") exit 1;; esac");
        unsetenv("failOn");

        boot_ = env_.Settings(cmdline_);
        ASSERT_TRUE(qd::CopyText(boot_.szKernelB, "kernel_b"));
        ASSERT_TRUE(qd::CopyText(boot_.szRootfsB, "rootfs_b"));
        qdtest::WriteFile(cmdline_, "console=ttyS0 qd.slot=a\n");
    }

    static MTDCFG_T Partition(const char* name) {
        MTDCFG_T mtd{};
        mtd.bValid = 1;
        mtd.bAllMtd = 1;
        EXPECT_TRUE(qd::CopyText(mtd.szMtdName, name));
        return mtd;
    }

    void UseKey(const qdtest::TestSigningKey& key) {
        seal_.emSlots[0] = SealKeySlot::kUsable;
        key.PublicKey().copy(reinterpret_cast<char*>(seal_.byKeys), QDUPK_KEY_SIZE);
        ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, counter_.c_str()));
    }

    // The upload's code and its log.
    int Run(const std::string& package) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        const qd::UniqueFd device(fds[0]);
        const qd::UniqueFd pc(fds[1]);
        socket_nonblock(device.get());
        const std::string bytes = Framed(package);
        std::thread sender(
            [&] { static_cast<void>(send(pc.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL)); });
        qdtest::StdoutCapture capture;
        result_ = RunUpload(device.get(), cfg_, seal_, boot_, nullptr);
        log_ = capture.Finish();
        shutdown(device.get(), SHUT_RDWR);
        sender.join();
        return result_.code;
    }

    // One slot each for the kernel and root file system, and a recovery
    // system; `recovery`: that system is running.
    void OneSlot(bool recovery) {
        boot_.szKernelB[0] = '\0';
        boot_.szRootfsB[0] = '\0';
        boot_.bRecovery = recovery;
        qdtest::WriteFile(
            cmdline_, recovery ? "console=ttyS0 qd.slot=recovery\n" : "console=ttyS0 qd.slot=a\n");
    }

    std::string Calls() const { return tools_.Calls(); }

    static std::string Package(std::initializer_list<int> types, const std::string& file = "") {
        qdupk::PackagePlan plan{"cam-fw", "2.1", "SOME-DEVICE", {}};
        for (const int type : types) {
            plan.items.push_back(type == QDUPK_ITEM_FILE
                                     ? qdupk::DataItem(type, "file data", file)
                                     : qdupk::DataItem(type, std::string(3000, 'i')));
        }
        return qdupk::BuildPackage(plan);
    }

    qdtest::ScratchDir dir_;
    qdtest::FileBackedEnv env_{dir_.path(), "qd_bootargs=console=ttyS0\n"};
    qdtest::StandInTools tools_{dir_.path()};
    std::string calls_ = tools_.callsPath();
    std::string cmdline_ = dir_.file("cmdline");
    std::string counter_ = dir_.file("seal.counter");
    QDBOOT_CFG_T cfg_{};
    SealConfig seal_{};
    BootenvConfig boot_{};
    UploadResult result_;
    std::string log_;
};

constexpr const char* kInPlace =
    "flash_eraseall kernel_a writing\nflashcp kernel_a writing\n"
    "flash_eraseall rootfs_a writing\nflashcp rootfs_a writing\n";

// The slot not running gets both images, with *writing* stored before the
// first erase and *trial* after the last copy; the counter waits for proof.
TEST_F(JournalUpload, AnUpgradeGoesToTheOtherSlotBetweenWritingAndTrial) {
    const qdtest::TestSigningKey key;
    UseKey(key);
    const std::string plain = Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS});
    EXPECT_EQ(Run(qdtest::Sealed(plain, 4, &key)), 0) << log_;
    EXPECT_EQ(Calls(),
              "flash_eraseall kernel_b writing\nflashcp kernel_b writing\n"
              "flash_eraseall rootfs_b writing\nflashcp rootfs_b writing\n");
    auto vars = env_.Vars();
    EXPECT_EQ(vars["qd_state"], "trial");
    EXPECT_EQ(vars["qd_target"], "b");
    EXPECT_EQ(vars["qd_tries"], "0");
    EXPECT_EQ(vars["qd_pending"], "4");
    EXPECT_EQ(vars["qd_name"], "cam-fw");
    EXPECT_EQ(vars["qd_version"], "2.1");
    EXPECT_EQ(vars["qd_pkg"], Identity(plain));  // what the seal covers
    EXPECT_FALSE(qdtest::FileExists(counter_));

    // Running b, the next upgrade goes to a; an unsealed package is known
    // by the digest of the whole file.
    env_.Set("qd_state=good\nqd_slot=b\n");
    qdtest::WriteFile(cmdline_, "qd.slot=b\n");
    seal_ = SealConfig{};
    std::remove(calls_.c_str());
    EXPECT_EQ(Run(plain), 0) << log_;
    EXPECT_NE(Calls().find("flash_eraseall kernel_a writing"), std::string::npos);
    EXPECT_EQ(Calls().find("_b"), std::string::npos);
    vars = env_.Vars();
    EXPECT_EQ(vars["qd_target"], "a");
    EXPECT_EQ(vars["qd_pkg"], Identity(plain));
    EXPECT_NE(Identity(plain), Identity(qdtest::Sealed(plain, 4, &key)));
}

// A copy that fails after its slot was erased: *failed*, no acknowledgement.
TEST_F(JournalUpload, AnImageThatFailsToWriteRecordsFailed) {
    setenv("failOn", "rootfs_b", 1);
    EXPECT_NE(Run(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS})), 0);
    unsetenv("failOn");
    EXPECT_EQ(env_.Var("qd_state"), "failed");
    EXPECT_EQ(env_.Var("qd_pending"), "");
    EXPECT_EQ(env_.Var("qd_slot"), "<unset>");
}

// Each refusal says why, stores nothing and runs no flash command.
TEST_F(JournalUpload, RefusalsStoreNothingAndTouchNoPartition) {
    const struct {
        const char* name;
        std::string env;  // fw_setenv script before the upload
        std::string cmdline;
        bool slotB;
        std::initializer_list<int> items;
        const char* reason;
    } cases[] = {
        {"half pair", "", "qd.slot=a", true, {QDUPK_ITEM_KERNEL}, "only one of the kernel"},
        {"slot b of the kernel only",
         "",
         "qd.slot=a",
         false,
         {QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS},
         "need szMtdNameB in both"},
        {"boot loader", "", "qd.slot=a", true, {QDUPK_ITEM_UBOOT}, "writes the boot loader"},
        {"on trial",
         "qd_state=trial\nqd_target=b\n",
         "qd.slot=b",
         true,
         {QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS},
         "on trial"},
        {"no slot word",
         "",
         "console=ttyS0",
         true,
         {QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS},
         "names no running slot"},
        {"not proven",
         "qd_state=good\n",
         "qd.slot=b",
         true,
         {QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS},
         "not the one the boot loader falls back to"},
    };
    for (const auto& c : cases) {
        env_.Set(c.env.empty() ? "qd_state=\nqd_target=\n" : c.env);
        qdtest::WriteFile(cmdline_, c.cmdline + "\n");
        ASSERT_TRUE(qd::CopyText(boot_.szKernelB, c.slotB ? "kernel_b" : ""));
        const std::string before = env_.Bytes();
        EXPECT_NE(Run(Package(c.items)), 0) << c.name;
        EXPECT_NE(log_.find(c.reason), std::string::npos) << c.name << ": " << log_;
        EXPECT_EQ(env_.Bytes(), before) << c.name;
        EXPECT_EQ(Calls(), "") << c.name;
    }
}

TEST_F(JournalUpload, AnEnvironmentThatCannotBeReadOrAProblemInBootenvRefusesImages) {
    for (const std::string& copy : {env_.copy(0), env_.copy(1)}) {
        std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(100);
        file.write("torn", 4);
    }
    EXPECT_NE(Run(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS})), 0);
    EXPECT_NE(log_.find("environment " + env_.config() + ": no valid copy"), std::string::npos)
        << log_;
    // Without its environment no package is installed: the journal's
    // refusals cannot be judged.
    EXPECT_NE(Run(Package({QDUPK_ITEM_FILE}, dir_.file("f"))), 0);
    EXPECT_FALSE(qdtest::FileExists(dir_.file("f")));

    std::strcpy(boot_.szProblem, "[bootenv] has no config");
    EXPECT_NE(Run(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS})), 0);
    EXPECT_NE(log_.find("[bootenv]: [bootenv] has no config"), std::string::npos) << log_;
    EXPECT_EQ(Run(Package({QDUPK_ITEM_FILE}, dir_.file("f"))), 0) << log_;
    EXPECT_EQ(Calls(), "");
}

// Files and scripts go into the running system: no journal store, and
// their counter is stored at once, but never below an upgrade on trial.
TEST_F(JournalUpload, APackageWithoutImagesStoresItsCounterAndNoJournal) {
    const qdtest::TestSigningKey key;
    UseKey(key);
    const std::string before = env_.Bytes();
    EXPECT_EQ(Run(qdtest::Sealed(Package({QDUPK_ITEM_FILE}, dir_.file("f")), 3, &key)), 0) << log_;
    EXPECT_EQ(env_.Bytes(), before);
    EXPECT_EQ(qdtest::ReadFile(counter_), "3\n");

    env_.Set("qd_state=trial\nqd_target=b\nqd_pending=9\n");
    qdtest::WriteFile(cmdline_, "qd.slot=b\n");
    EXPECT_NE(Run(qdtest::Sealed(Package({QDUPK_ITEM_FILE}, dir_.file("g")), 8, &key)), 0);
    EXPECT_NE(log_.find("lower than that of the firmware on trial"), std::string::npos) << log_;
    EXPECT_FALSE(qdtest::FileExists(dir_.file("g")));
    EXPECT_EQ(Run(qdtest::Sealed(Package({QDUPK_ITEM_FILE}, dir_.file("g")), 9, &key)), 0) << log_;
    EXPECT_EQ(env_.Var("qd_state"), "trial");
}

// An upgrade that fails before any partition is touched leaves the journal
// as it found it.
TEST_F(JournalUpload, AFailureBeforeAnyPartitionWasTouchedStoresThePreviousStateBack) {
    env_.Set("qd_state=good\nqd_pkg=1111111111111111\nqd_counter=2\n");
    const auto before = env_.Vars();
    qdpkg::PackageIndex index;
    index.items.reset(static_cast<qdpkg::IndexedItem*>(std::calloc(2, sizeof(qdpkg::IndexedItem))));
    index.itemCount = 2;
    index.items[0].head.nItemType = QDUPK_ITEM_KERNEL;
    index.items[1].head.nItemType = QDUPK_ITEM_ROOTFS;
    const QDUPK_SEALINFO_T seal{QDUPK_SEAL_UNSIGNED, 5, {}, -1};
    for (const int touched : {0, 1}) {
        UploadJournal journal(boot_, cfg_);
        EXPECT_STREQ(journal.InstallConfig().stKernel.szMtdName, "kernel_b");
        bool counterNow = true;
        qdtest::StdoutCapture quiet;
        ASSERT_EQ(journal.BeforeInstall(index, seal, "2222222222222222", &counterNow), 0);
        EXPECT_FALSE(counterNow);
        EXPECT_EQ(env_.Var("qd_state"), "writing");
        EXPECT_FALSE(journal.AfterInstall(false, touched));
        if (touched == 0) {
            EXPECT_EQ(env_.Vars(), before);
        } else {
            EXPECT_EQ(env_.Var("qd_state"), "failed");
            EXPECT_EQ(env_.Var("qd_pkg"), "2222222222222222");
        }
    }
}

// One slot and a recovery system: the images go over slot a in place,
// inside *writing* ... *trial*; a kernel alone is a release too, once the
// firmware before it has proved itself.
TEST_F(JournalUpload, OneSlotIsWrittenInPlaceBetweenWritingAndTrial) {
    OneSlot(false);
    const qdtest::TestSigningKey key;
    UseKey(key);
    EXPECT_EQ(Run(qdtest::Sealed(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS}), 4, &key)), 0)
        << log_;
    EXPECT_EQ(Calls(), kInPlace);
    auto vars = env_.Vars();
    EXPECT_EQ(vars["qd_state"], "trial");
    EXPECT_EQ(vars["qd_target"], "a");
    EXPECT_EQ(vars["qd_tries"], "0");
    EXPECT_EQ(vars["qd_pending"], "4");
    EXPECT_FALSE(qdtest::FileExists(counter_));

    std::remove(calls_.c_str());
    const std::string kernel = qdtest::Sealed(Package({QDUPK_ITEM_KERNEL}), 5, &key);
    EXPECT_NE(Run(kernel), 0);
    EXPECT_NE(log_.find("on trial"), std::string::npos) << log_;
    env_.Set("qd_state=good\nqd_slot=a\nqd_counter=4\nqd_pending=\n");
    EXPECT_EQ(Run(kernel), 0) << log_;
    EXPECT_EQ(Calls(), "flash_eraseall kernel_a writing\nflashcp kernel_a writing\n");
    EXPECT_EQ(env_.Var("qd_state"), "trial");
    EXPECT_EQ(env_.Var("qd_pending"), "5");
}

// The recovery system takes the package again whatever the journal says,
// by stricter counter rules: the counter file must be there (it is never
// 0), and the journal's qd_counter is a floor beside it.
TEST_F(JournalUpload, RecoveryRefusesAMissingCounterFileAndCountersBelowEitherFloor) {
    OneSlot(true);
    const qdtest::TestSigningKey key;
    UseKey(key);
    env_.Set("qd_state=failed\nqd_target=a\nqd_slot=a\nqd_counter=7\n");
    const std::string before = env_.Bytes();
    const std::string release =
        qdtest::Sealed(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS}), 7, &key);
    EXPECT_NE(Run(release), 0);
    EXPECT_NE(log_.find("counter file " + counter_ + " does not exist"), std::string::npos) << log_;
    EXPECT_EQ(result_.reason, qd::kStatusCounterFile);

    qdtest::WriteFile(counter_, "3\n");
    EXPECT_NE(Run(qdtest::Sealed(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS}), 5, &key)), 0);
    EXPECT_NE(log_.find("rollback: counter 5 is lower than 7 committed in the boot journal"),
              std::string::npos)
        << log_;
    EXPECT_EQ(result_.reason, qd::kStatusRollback);
    EXPECT_STREQ(result_.text, "rollback: counter 5 is lower than 7");

    qdtest::WriteFile(counter_, "9\n");
    EXPECT_NE(Run(release), 0);
    EXPECT_NE(log_.find("rollback: counter 7 is lower than 9 stored in " + counter_),
              std::string::npos)
        << log_;
    EXPECT_EQ(env_.Bytes(), before);
    EXPECT_EQ(Calls(), "");

    // Equal to the committed counter: the same release pushed again.
    qdtest::WriteFile(counter_, "3\n");
    EXPECT_EQ(Run(release), 0) << log_;
    EXPECT_EQ(Calls(), kInPlace);
    EXPECT_EQ(env_.Var("qd_state"), "trial");
    EXPECT_EQ(env_.Var("qd_target"), "a");
    EXPECT_EQ(env_.Var("qd_pending"), "7");
    EXPECT_EQ(qdtest::ReadFile(counter_), "3\n");  // stored once the new firmware proves itself
}

// Without images recovery installs what it is given, with no journal store;
// images on a camera with two slots are not its to write.
TEST_F(JournalUpload, RecoveryInstallsFilesWithoutJournalAndWritesNoSlotOfTwo) {
    OneSlot(true);
    const qdtest::TestSigningKey key;
    UseKey(key);
    qdtest::WriteFile(counter_, "3\n");
    env_.Set("qd_state=bad\nqd_counter=2\n");
    const std::string before = env_.Bytes();
    EXPECT_EQ(Run(qdtest::Sealed(Package({QDUPK_ITEM_FILE}, dir_.file("f")), 8, &key)), 0) << log_;
    EXPECT_EQ(env_.Bytes(), before);
    EXPECT_EQ(qdtest::ReadFile(counter_), "8\n");

    ASSERT_TRUE(qd::CopyText(boot_.szKernelB, "kernel_b"));
    ASSERT_TRUE(qd::CopyText(boot_.szRootfsB, "rootfs_b"));
    EXPECT_NE(Run(qdtest::Sealed(Package({QDUPK_ITEM_KERNEL, QDUPK_ITEM_ROOTFS}), 8, &key)), 0);
    EXPECT_NE(log_.find("only on a camera with one slot"), std::string::npos) << log_;
    EXPECT_EQ(env_.Bytes(), before);
    EXPECT_EQ(Calls(), "");
}

}  // namespace
