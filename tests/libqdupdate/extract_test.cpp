// The extraction pass: where each item is written, what the callbacks get,
// and what stays behind after failures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "package_fixture.h"

namespace qdtest {
namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class ExtractTest : public PackageTest {};

TEST_F(ExtractTest, EachTypeGoesToItsFileWithMode0755) {
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
        EXPECT_EQ(call.mode, 0755u) << i;
        // Destination files stay; flash images never touch theirs.
        EXPECT_EQ(FileExists(dst), ext == "dst") << i;
    }
    EXPECT_EQ(ModeOf(scratch_.file("dst7")), 0755u);
    EXPECT_FALSE(FileExists(tempDir_ + "/updatetmp.bin"));
    EXPECT_FALSE(FileExists(tempDir_ + "/updatetmp.sh"));
}

// The mode comes from the library, not from the caller's umask.
TEST_F(ExtractTest, NewItemFilesAre0755WhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{077}, mode_t{0777}}) {
        const mode_t previous = ::umask(mask);
        const std::string dst = scratch_.file("new" + std::to_string(mask));
        WritePackage(Package({Item(QDUPK_ITEM_FILE, "f", dst), Item(QDUPK_ITEM_BASH, "s"),
                              Item(QDUPK_ITEM_KERNEL, "k")}));
        calls_.clear();
        const int ret = Update();
        ::umask(previous);
        ASSERT_EQ(ret, 0) << mask;
        ASSERT_EQ(calls_.size(), 3u) << mask;
        for (const InstallCall& call : calls_) {
            EXPECT_EQ(call.mode, 0755u) << mask << " " << call.path;
        }
        EXPECT_EQ(ModeOf(dst), 0755u) << mask;
    }
}

// A file an item replaces keeps its inode and each bit of 0755 it had; it
// never keeps write access for others or a setuid or setgid bit. A script
// is run from there, so its owner can always execute it.
TEST_F(ExtractTest, ReplacedFileKeepsAStricterModeButNeverWriteForOthersOrSetuid) {
    struct Case {
        int type;
        mode_t before;
        mode_t after;
    };
    const Case cases[] = {
        {QDUPK_ITEM_FILE, 0600, 0600},  {QDUPK_ITEM_FILE, 0640, 0640},
        {QDUPK_ITEM_FILE, 0777, 0755},  {QDUPK_ITEM_FILE, 0666, 0644},
        {QDUPK_ITEM_APP, 04755, 0755},  {QDUPK_ITEM_FILE, 06775, 0755},
        {QDUPK_ITEM_FILE, 01700, 0700}, {QDUPK_ITEM_BASH, 0644, 0744},
        {QDUPK_ITEM_BASH, 0600, 0700},
    };
    std::vector<qdupk::ItemPlan> items;
    std::vector<ino_t> inodes;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string dst = scratch_.file("old" + std::to_string(i));
        WriteFile(dst, "old");
        ASSERT_EQ(::chmod(dst.c_str(), cases[i].before), 0);
        struct stat st {};
        ASSERT_EQ(::stat(dst.c_str(), &st), 0);
        ASSERT_EQ(st.st_mode & 07777, cases[i].before) << "the file system keeps no such mode";
        inodes.push_back(st.st_ino);
        items.push_back(Item(cases[i].type, "new " + std::to_string(i), dst));
    }
    WritePackage(Package(items));
    ASSERT_EQ(Update(), 0);
    ASSERT_EQ(calls_.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        struct stat st {};
        ASSERT_EQ(::stat(items[i].destination.c_str(), &st), 0);
        EXPECT_EQ(calls_[i].mode, cases[i].after) << std::oct << cases[i].before;
        EXPECT_EQ(st.st_mode & 07777, cases[i].after) << std::oct << cases[i].before;
        EXPECT_EQ(st.st_ino, inodes[i]) << i;
        EXPECT_EQ(calls_[i].content, items[i].data) << i;
    }
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

// A later item that cannot be written anywhere refuses the package before
// the first item replaces its destination.
TEST_F(ExtractTest, UnwritableItemPathRefusesThePackageBeforeAnyItem) {
    WriteFile(scratch_.file("plain"), "x");
    ASSERT_EQ(::mkdir(scratch_.file("dir").c_str(), 0755), 0);
    struct Case {
        std::string path;  // of the second item; empty: a kernel image to tempDir
        std::string tempDir;
        std::string line;
    };
    const std::string missing = scratch_.file("no/such/dir");
    const Case cases[] = {
        {missing + "/file", tempDir_,
         "item 1 [" + missing + "/file]: no directory [" + missing +
             "]: No such file or directory"},
        {scratch_.file("plain/file"), tempDir_,
         "item 1 [" + scratch_.file("plain/file") + "]: no directory [" + scratch_.file("plain") +
             "]: not a directory"},
        {scratch_.file("dir"), tempDir_,
         "item 1 [" + scratch_.file("dir") + "]: destination is a directory"},
        {"", missing,
         "item 1 [" + missing + "/updatetmp.bin]: no directory [" + missing +
             "]: No such file or directory"},
    };
    for (const Case& c : cases) {
        WriteFile(scratch_.file("one"), "old");
        WritePackage(Package({Item(QDUPK_ITEM_FILE, "new", scratch_.file("one")),
                              c.path.empty() ? Item(QDUPK_ITEM_KERNEL, "kernel")
                                             : Item(QDUPK_ITEM_FILE, "x", c.path)}));
        calls_.clear();
        EXPECT_EQ(Update("IPC-1", c.tempDir, nullptr), QDUPKERR_COPY) << c.line;
        EXPECT_TRUE(calls_.empty()) << c.line;
        EXPECT_EQ(ReadFile(scratch_.file("one")), "old") << c.line;
        EXPECT_TRUE(Contains(messages_, "E " + c.line)) << c.line;
        EXPECT_EQ(messages_.back(), "E CopyItem error:-6") << c.line;
    }
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

// Descriptor numbers open in this process now.
std::set<int> OpenDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        fds.insert(std::stoi(entry.path().filename().string()));
    }
    // The listing's own descriptor is closed by now; drop it.
    for (auto it = fds.begin(); it != fds.end();) {
        it = ::fcntl(*it, F_GETFD) < 0 ? fds.erase(it) : std::next(it);
    }
    return fds;
}

bool CloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// Scripts and flash tools run from inside the install callback: whatever
// the library holds open then must not reach them, or a script that leaves
// a background process keeps the deleted package's space allocated.
std::set<int> g_before;
int g_libraryFds = 0;
int g_inheritable = 0;

int CountInheritable(const char*, const char*, QDUPK_ITEM_TYPE, const char*, const char*, int) {
    for (int fd : OpenDescriptors()) {
        if (g_before.count(fd) == 0) {
            ++g_libraryFds;
            g_inheritable += CloseOnExec(fd) ? 0 : 1;
        }
    }
    return 0;
}

TEST_F(ExtractTest, PackageDescriptorIsCloseOnExecDuringCallbacks) {
    WritePackage(Package(
        {Item(QDUPK_ITEM_FILE, "one", scratch_.file("one")), Item(QDUPK_ITEM_KERNEL, "kernel")}));
    StdoutCapture quiet;
    g_before = OpenDescriptors();
    g_libraryFds = 0;
    g_inheritable = 0;
    EXPECT_EQ(libqdupk_update(package_.c_str(), "IPC-1", tempDir_.c_str(), CountInheritable), 0);
    EXPECT_GE(g_libraryFds, 2) << "the package should be open in both callbacks";
    EXPECT_EQ(g_inheritable, 0);
}

// An item file is open only while its data is copied; a pipe at the
// destination holds the copy there until this thread reads.
TEST_F(ExtractTest, ItemFileAtItsDestinationIsCloseOnExec) {
    const std::string fifo = scratch_.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string data(std::size_t{256} * 1024, 'p');  // several times what a pipe holds
    WritePackage(Package({Item(QDUPK_ITEM_FILE, data, fifo)}));
    int result = 1;
    StdoutCapture quiet;
    std::thread update([&] {
        result = libqdupk_update(package_.c_str(), "IPC-1", tempDir_.c_str(),
                                 [](const char*, const char*, QDUPK_ITEM_TYPE, const char*,
                                    const char*, int) { return 0; });
    });
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    char chunk[4096];
    // Once data has come, the writer's descriptor exists, and the pipe is too
    // small for the rest, so it stays open until this thread reads on.
    std::size_t total = static_cast<std::size_t>(std::max<ssize_t>(0, ::read(reader, chunk, 1)));
    int writers = 0;
    for (int fd : OpenDescriptors()) {
        if (fd != reader &&
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)) == fifo) {
            ++writers;
            EXPECT_TRUE(CloseOnExec(fd)) << fd;
        }
    }
    for (ssize_t n; (n = ::read(reader, chunk, sizeof chunk)) > 0;) {
        total += static_cast<std::size_t>(n);
    }
    ::close(reader);
    update.join();
    EXPECT_EQ(writers, 1);
    EXPECT_EQ(total, data.size());
    EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace qdtest
