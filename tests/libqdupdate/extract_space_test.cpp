// Room for the items: a package that would not fit is refused before its
// first item has any effect. Small file systems are tmpfs mounts in a mount
// namespace of a forked child, so the machine's own mounts are never touched.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "package_fixture.h"

namespace qdtest {
namespace {

struct Outcome {
    int mounted = 0;
    int result = 0;
    int calls = 0;
};

int g_calls = 0;

int CountCall(const char*, const char*, QDUPK_ITEM_TYPE, const char*, const char*, int) {
    ++g_calls;
    return 0;
}

bool MountPrivateTmpfs(const std::string& dir, const std::string& size, unsigned long flags) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", dir.c_str(), "tmpfs", flags, ("size=" + size).c_str()) == 0;
}

class SpaceTest : public PackageTest {
  protected:
    void SetUp() override {
        PackageTest::SetUp();
        fs_ = scratch_.file("fs");
        ASSERT_EQ(::mkdir(fs_.c_str(), 0755), 0);
    }

    // In a child with a tmpfs of `size` at fs_: runs `prepare`, writes the
    // package to `packagePath` and updates with `tempDir`. The child's
    // output lands in messages_.
    Outcome RunOnTmpfs(
        const std::string& size, const std::string& bytes, const std::string& packagePath,
        const std::string& tempDir, const std::function<void()>& prepare = [] {},
        unsigned long mountFlags = 0) {
        int report[2];
        EXPECT_EQ(::pipe(report), 0);
        const std::string log = scratch_.file("child.log");
        static_cast<void>(std::fflush(stdout));
        const pid_t pid = ::fork();
        if (pid == 0) {
            Outcome out;
            out.mounted = MountPrivateTmpfs(fs_, size, mountFlags) ? 1 : 0;
            if (out.mounted) {
                const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, STDOUT_FILENO);
                prepare();
                WriteFile(packagePath, bytes);
                out.result =
                    libqdupk_update(packagePath.c_str(), "IPC-1", tempDir.c_str(), CountCall);
                out.calls = g_calls;
                static_cast<void>(std::fflush(stdout));
            }
            _exit(::write(report[1], &out, sizeof out) == sizeof out ? 0 : 1);
        }
        ::close(report[1]);
        Outcome out;
        const bool reported = ::read(report[0], &out, sizeof out) == sizeof out;
        ::close(report[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(reported && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        messages_ = out.mounted ? Messages(ReadFile(log)) : std::vector<std::string>{};
        return out;
    }

    bool HasLineStartingWith(const std::string& prefix) const {
        for (const std::string& m : messages_) {
            if (m.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string fs_;
};

#define SKIP_UNLESS_MOUNTED(outcome)                                   \
    if (!(outcome).mounted) {                                          \
        GTEST_SKIP() << "cannot mount a tmpfs in a private namespace"; \
    }

// The package already fills most of a small temporary directory: the kernel
// image behind a file item has no room, and the file item must not be
// installed without it. With room, both go in.
TEST_F(SpaceTest, KernelWithoutRoomInTheTemporaryDirectoryInstallsNothing) {
    const std::string dst = scratch_.file("app");
    WriteFile(dst, "old");
    const std::string bytes =
        qdupk::BuildPackage(Package({Item(QDUPK_ITEM_FILE, "new", dst),
                                     Item(QDUPK_ITEM_KERNEL, std::string(1900 << 10, 'k'))}));
    const std::string package = fs_ + "/qboot.upg";

    Outcome out = RunOnTmpfs("3m", bytes, package, fs_);
    SKIP_UNLESS_MOUNTED(out);
    EXPECT_EQ(out.result, QDUPKERR_COPY);
    EXPECT_EQ(out.calls, 0);
    EXPECT_EQ(ReadFile(dst), "old");
    EXPECT_TRUE(HasLineStartingWith("E item 1 [" + fs_ +
                                    "/updatetmp.bin]: no room, 1945600 "
                                    "bytes needed, "));
    EXPECT_EQ(messages_.back(), "E CopyItem error:-6");

    out = RunOnTmpfs("5m", bytes, package, fs_);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.calls, 2);
    EXPECT_EQ(ReadFile(dst), "new");
}

// Files written to their destinations stay, so two that fit one by one may
// not fit together; a file that replaces an existing one reuses its room.
TEST_F(SpaceTest, DestinationsOnOneFileSystemAddUpAndReplacedFilesCountAsFree) {
    const std::string package = scratch_.file("package.upg");
    const std::string piece(600 << 10, 'a');
    const std::string both = qdupk::BuildPackage(Package(
        {Item(QDUPK_ITEM_FILE, piece, fs_ + "/a"), Item(QDUPK_ITEM_APP, piece, fs_ + "/b")}));
    Outcome out = RunOnTmpfs("1m", both, package, tempDir_);
    SKIP_UNLESS_MOUNTED(out);
    EXPECT_EQ(out.result, QDUPKERR_COPY);
    EXPECT_EQ(out.calls, 0);
    EXPECT_TRUE(HasLineStartingWith("E item 1 [" + fs_ + "/b]: no room, 1228800 bytes needed, "));

    // 700 KiB of a 1 MiB file system already hold the file being replaced.
    const std::string replace = qdupk::BuildPackage(
        Package({Item(QDUPK_ITEM_FILE, std::string(700 << 10, 'n'), fs_ + "/a")}));
    out = RunOnTmpfs("1m", replace, package, tempDir_,
                     [this] { WriteFile(fs_ + "/a", std::string(700 << 10, 'o')); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.calls, 1);
}

TEST_F(SpaceTest, ItemForAReadOnlyFileSystemInstallsNothing) {
    const std::string dst = scratch_.file("app");
    WriteFile(dst, "old");
    const std::string bytes = qdupk::BuildPackage(
        Package({Item(QDUPK_ITEM_FILE, "new", dst), Item(QDUPK_ITEM_FILE, "x", fs_ + "/x")}));
    const Outcome out = RunOnTmpfs(
        "1m", bytes, scratch_.file("package.upg"), tempDir_, [] {}, MS_RDONLY);
    SKIP_UNLESS_MOUNTED(out);
    EXPECT_EQ(out.result, QDUPKERR_COPY);
    EXPECT_EQ(out.calls, 0);
    EXPECT_EQ(ReadFile(dst), "old");
    EXPECT_TRUE(Contains(messages_, "E item 1 [" + fs_ + "]: read-only file system"));
}

}  // namespace
}  // namespace qdtest
