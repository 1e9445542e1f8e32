// The extraction pass: where each item is written, what the callbacks get,
// and what stays behind after failures.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "package_fixture.h"

namespace qdtest {
namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class ExtractTest : public PackageTest {};

TEST_F(ExtractTest, EachTypeGoesToItsFileWithMode0777) {
    struct Case {
        int type;
        bool withDst;
        const char* expected;  // "bin"/"sh" for a temporary file, "dst" for the destination
    };
    const Case cases[] = {
        {QDUPK_ITEM_KERNEL, true, "bin"},
        {QDUPK_ITEM_ROOTFS, false, "bin"},
        {QDUPK_ITEM_UBOOT, true, "bin"},
        {0, true, "bin"},
        {-5, true, "bin"},
        {QDUPK_ITEM_BASH, false, "sh"},
        {QDUPK_ITEM_BASH, true, "dst"},
        {QDUPK_ITEM_FILE, true, "dst"},
        {QDUPK_ITEM_APP, false, "bin"},
        {QDUPK_ITEM_MCUARM, false, "bin"},
        {99, true, "dst"},
    };
    std::vector<qdupk::ItemPlan> items;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string dst = cases[i].withDst ? scratch_.file("dst" + std::to_string(i)) : "";
        items.push_back(Item(cases[i].type, "content " + std::to_string(i), dst));
    }
    WritePackage(Package(items));
    ASSERT_EQ(Update(), 0);
    ASSERT_EQ(calls_.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const InstallCall& call = calls_[i];
        const std::string ext = cases[i].expected;
        const std::string& dst = items[i].destination;
        EXPECT_EQ(call.path, ext == "dst" ? dst : tempDir_ + "/updatetmp." + ext) << i;
        EXPECT_EQ(call.dst, dst) << i;
        EXPECT_EQ(call.type, cases[i].type) << i;
        EXPECT_EQ(call.devId, items[i].devId) << i;
        EXPECT_EQ(call.desc, items[i].description) << i;
        EXPECT_EQ(call.reboot, items[i].rebootFlag) << i;
        EXPECT_EQ(call.content, items[i].data) << i;
        EXPECT_EQ(call.mode, 0777u) << i;
        // Destination files stay; flash images never touch theirs.
        EXPECT_EQ(FileExists(dst), ext == "dst") << i;
    }
    EXPECT_EQ(ModeOf(scratch_.file("dst7")), 0777u);
    EXPECT_FALSE(FileExists(tempDir_ + "/updatetmp.bin"));
    EXPECT_FALSE(FileExists(tempDir_ + "/updatetmp.sh"));
}

TEST_F(ExtractTest, CallbackFailureStopsWithItsOwnValue) {
    WritePackage(
        Package({Item(QDUPK_ITEM_FILE, "one", scratch_.file("one")), Item(QDUPK_ITEM_APP, "two"),
                 Item(QDUPK_ITEM_FILE, "three", scratch_.file("three"))}));
    results_ = {0, 7};
    EXPECT_EQ(Update(), 7);
    EXPECT_EQ(calls_.size(), 2u);
    EXPECT_EQ(ReadFile(scratch_.file("one")), "one");
    EXPECT_FALSE(FileExists(tempDir_ + "/updatetmp.bin"));
    EXPECT_FALSE(FileExists(scratch_.file("three")));
    EXPECT_TRUE(Contains(messages_, "E fdCallback error=7"));
    EXPECT_EQ(messages_.back(), "E CopyItem error:7");
}

TEST_F(ExtractTest, DeclinedItemIsSkippedAndTheRestInstalled) {
    WritePackage(Package({Item(QDUPK_ITEM_FILE, "one", scratch_.file("one")),
                          Item(QDUPK_ITEM_FILE, std::string(5000, 't'), scratch_.file("two")),
                          Item(QDUPK_ITEM_FILE, "three", scratch_.file("three"))}));
    declineCall_ = 1;
    EXPECT_EQ(Update("IPC-1", DeclineOne), 0);
    EXPECT_EQ(checkCalls_, 3);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].content, "three");
    EXPECT_FALSE(FileExists(scratch_.file("two")));
    EXPECT_TRUE(Contains(messages_, "P " + scratch_.file("two") + " not user not return"));
}

TEST_F(ExtractTest, UncreatableDestinationFailsAfterEarlierItemsStay) {
    const std::string missing = scratch_.file("no/such/dir/file");
    WritePackage(Package(
        {Item(QDUPK_ITEM_FILE, "one", scratch_.file("one")), Item(QDUPK_ITEM_FILE, "x", missing)}));
    EXPECT_EQ(Update(), QDUPKERR_COPY);
    EXPECT_EQ(calls_.size(), 1u);
    EXPECT_TRUE(FileExists(scratch_.file("one")));
    EXPECT_TRUE(Contains(messages_, "E open file[" + missing + "] failed"));
    EXPECT_EQ(messages_.back(), "E CopyItem error:-6");
}

// Someone else who can write the temporary directory plants links under the
// temporary names: the item still arrives whole and the targets stay intact.
TEST_F(ExtractTest, PlantedLinkAtATemporaryNameIsNotFollowed) {
    const std::string victim = scratch_.file("victim");
    WriteFile(victim, "keep me");
    ASSERT_EQ(::symlink(victim.c_str(), (tempDir_ + "/updatetmp.bin").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (tempDir_ + "/updatetmp.sh").c_str()), 0);
    WritePackage(Package({Item(QDUPK_ITEM_KERNEL, "kernel"), Item(QDUPK_ITEM_BASH, "script")}));
    ASSERT_EQ(Update(), 0);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].content, "kernel");
    EXPECT_EQ(calls_[1].content, "script");
    EXPECT_EQ(ReadFile(victim), "keep me");
    EXPECT_NE(ModeOf(victim), 0777u) << "chmod went through the link";
}

// "%s/updatetmp.bin" must fit 128 bytes: a longer directory is refused
// before the first item rather than cut.
TEST_F(ExtractTest, TemporaryDirectoryLongerThan113IsRefusedUpFront) {
    std::string dir = scratch_.path();
    while (dir.size() < 113) {
        dir += "/" + std::string(std::min<std::size_t>(40, 112 - dir.size()), 'd');
    }
    ASSERT_EQ(dir.size(), 113u);
    std::filesystem::create_directories(dir);
    WritePackage(Package(
        {Item(QDUPK_ITEM_FILE, "one", scratch_.file("one")), Item(QDUPK_ITEM_KERNEL, "kernel")}));
    EXPECT_EQ(Update("IPC-1", dir, nullptr), 0);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].path, dir + "/updatetmp.bin");

    calls_.clear();
    (void)std::remove(scratch_.file("one").c_str());
    EXPECT_EQ(Update("IPC-1", dir + "x", nullptr), QDUPKERR_COPY);
    EXPECT_TRUE(calls_.empty());
    EXPECT_FALSE(FileExists(scratch_.file("one")));
    EXPECT_EQ(messages_.back(), "E CopyItem error:-6");
}

// Large items are copied by the kernel where the file systems allow it and
// in chunks where they do not (disk to tmpfs); either way every byte
// arrives and the next item head is read from the right place.
TEST_F(ExtractTest, ItemsOfManyChunksArriveWholeOnOneAndAcrossFileSystems) {
    std::string big(3 * 4096 + 123, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 131 + i / 4096);
    }
    std::vector<std::string> dirs = {scratch_.path()};
    if (std::filesystem::is_directory("/dev/shm")) {
        dirs.push_back("/dev/shm");
    }
    for (const std::string& dir : dirs) {
        const std::string first = dir + "/qd-extract-first." + std::to_string(getpid());
        const std::string last = dir + "/qd-extract-last." + std::to_string(getpid());
        calls_.clear();
        WritePackage(Package({Item(QDUPK_ITEM_FILE, big, first), Item(QDUPK_ITEM_APP, "x"),
                              Item(QDUPK_ITEM_FILE, big.substr(5), last)}));
        EXPECT_EQ(Update(), 0) << dir;
        ASSERT_EQ(calls_.size(), 3u) << dir;
        EXPECT_TRUE(calls_[0].content == big) << dir;
        EXPECT_EQ(calls_[1].content, "x") << dir;
        EXPECT_TRUE(ReadFile(last) == big.substr(5)) << dir;
        (void)std::remove(first.c_str());
        (void)std::remove(last.c_str());
    }
}

// Runs the update in a child whose file size limit makes writes to the
// item file fail; returns the update's result.
int UpdateWithFileSizeLimit(const std::string& package, const std::string& dir, rlim_t limit) {
    const pid_t pid = fork();
    if (pid == 0) {
        (void)std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        const int ret = libqdupk_update(package.c_str(), "IPC-1", dir.c_str(),
                                        [](const char*, const char*, QDUPK_ITEM_TYPE, const char*,
                                           const char*, int) { return 99; });
        (void)std::fflush(stdout);
        _exit(-ret);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? -WEXITSTATUS(status) : 1000;
}

TEST_F(ExtractTest, FailedWritesRemoveTheFileWithCopyError) {
    WritePackage(Package({Item(QDUPK_ITEM_FILE, std::string(8192, 'w'), scratch_.file("big"))}));
    struct Case {
        rlim_t limit;
        const char* line;  // a write that stores nothing is retried, then fails
    };
    for (const Case& c :
         {Case{4096, "E write file error:0"}, Case{6000, "E write file error:1904"}}) {
        StdoutCapture capture;
        const int ret = UpdateWithFileSizeLimit(package_, tempDir_, c.limit);
        const std::vector<std::string> messages = Messages(capture.Finish());
        EXPECT_EQ(ret, QDUPKERR_COPY) << c.limit;
        EXPECT_TRUE(Contains(messages, c.line)) << c.limit;
        EXPECT_TRUE(Contains(messages, "E copy file error=-6")) << c.limit;
        EXPECT_FALSE(FileExists(scratch_.file("big"))) << c.limit;
    }
}

}  // namespace
}  // namespace qdtest
