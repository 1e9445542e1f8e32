// Saves that meet read errors, full disks and files they must not touch.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "etc_fixture.h"
#include "etc_internal.h"
#include "qd_owners.h"

namespace {

using qdtest::FileExists;
using qdtest::ReadFile;
using qdtest::WriteFile;

// An in-memory stream whose reads (or writes) fail with EIO from byte
// failAt on, to stand for a disk error in the middle of a file.
struct FaultyStream {
    std::string data;
    std::size_t failAt;
    std::size_t pos = 0;

    static ssize_t Read(void* cookie, char* buf, std::size_t size) {
        auto* s = static_cast<FaultyStream*>(cookie);
        if (s->pos >= s->failAt) {
            errno = EIO;
            return -1;
        }
        const std::size_t n = std::min({size, s->failAt - s->pos, s->data.size() - s->pos});
        std::copy_n(s->data.data() + s->pos, n, buf);
        s->pos += n;
        return static_cast<ssize_t>(n);
    }
    static ssize_t Write(void* cookie, const char* buf, std::size_t size) {
        auto* s = static_cast<FaultyStream*>(cookie);
        if (s->data.size() + size > s->failAt) {
            errno = EIO;
            return -1;
        }
        s->data.append(buf, size);
        return static_cast<ssize_t>(size);
    }
    static int Seek(void* cookie, off64_t* offset, int whence) {
        auto* s = static_cast<FaultyStream*>(cookie);
        off64_t base = 0;
        if (whence == SEEK_CUR) {
            base = static_cast<off64_t>(s->pos);
        } else if (whence == SEEK_END) {
            base = static_cast<off64_t>(s->data.size());
        }
        s->pos = static_cast<std::size_t>(base + *offset);
        *offset = static_cast<off64_t>(s->pos);
        return 0;
    }
    qd::FilePtr Open(const char* mode) {
        return qd::FilePtr(fopencookie(this, mode, {Read, Write, Seek, nullptr}));
    }
};

const char kSample[] = "[a]\nx=1\n[net]\nb = 2\na=5\n[z]\nq=1\n";

int Assemble(FaultyStream& in, FaultyStream& out, const char* key) {
    const qd::FilePtr etc_fp = in.Open("r");
    // As the scratch file is: open for reading back too.
    const qd::FilePtr tmp_fp = out.Open("w+");
    return etcfile::etc_AssembleCopy(etc_fp.get(), tmp_fp.get(), "net", key, "1");
}

TEST(EtcAssembleCopy, AnyReadOrWriteErrorFailsTheCopy) {
    FaultyStream whole{kSample, SIZE_MAX};
    FaultyStream control{"", SIZE_MAX};
    ASSERT_EQ(Assemble(whole, control, "new"), 0);
    ASSERT_EQ(control.data, "[a]\nx=1\n[net]\nb= 2\na=5\nnew=1\n\n[z]\nq=1\n");

    // In the section search, the key search, the rest and at the very end.
    for (std::size_t failAt : {0UL, 6UL, 14UL, 22UL, 24UL, 30UL, sizeof kSample - 1}) {
        for (const char* key : {"a", "new"}) {
            FaultyStream in{kSample, failAt};
            FaultyStream out{"", SIZE_MAX};
            EXPECT_EQ(Assemble(in, out, key), -5) << "read fails at " << failAt << " " << key;
        }
    }
    for (std::size_t failAt : {0UL, 10UL, control.data.size() - 1}) {
        FaultyStream in{kSample, SIZE_MAX};
        FaultyStream out{"", failAt};
        EXPECT_EQ(Assemble(in, out, "new"), -5) << "write fails at " << failAt;
    }
}

TEST_F(EtcFileTest, FilesThatCannotBeReadAreNeverOverwritten) {
    qdtest::StdoutCapture out;
    EXPECT_EQ(EtcSaveValueFile(dir_.path().c_str(), "s", "k", "1"), -5);
    EXPECT_EQ(EtcSaveValueFile("/proc/self/mem", "s", "k", "1"), -5);
    EXPECT_EQ(EtcSaveValueFile("no/such/dir.ini", "s", "k", "1"), -5);
    const std::string log = out.Finish();
    EXPECT_NE(log.find("open no/such/dir.ini failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR("), std::string::npos) << log;
    EXPECT_NE(log.find("etc_FileCopy ERROR\n"), std::string::npos) << log;
    EXPECT_FALSE(FileExists("etc0.ini"));
}

TEST_F(EtcFileTest, WritableButUnreadableFileIsNotTreatedAsMissing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    WriteFile("w.ini", "[s]\nk=1\n");
    ASSERT_EQ(::chmod("w.ini", 0222), 0);
    ASSERT_EQ(::chmod(".", 0777), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        _exit(dropped ? -EtcSaveValueFile("w.ini", "s", "k", "2") : 99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(ReadFile("w.ini"), "[s]\nk=1\n");
}

// A tmpfs of a few pages, mounted in a mount namespace of this test
// process only, so a full disk can be had without touching the machine.
class TinyTmpfs {
  public:
    TinyTmpfs(const std::string& dir, const char* options) : dir_(dir) {
        mounted_ = ::mkdir(dir.c_str(), 0755) == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                   ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
    }
    ~TinyTmpfs() {
        if (mounted_) {
            static_cast<void>(::umount2(dir_.c_str(), MNT_DETACH));
        }
    }
    bool mounted() const { return mounted_; }

    // Takes every free page, so the next write to a new page fails.
    void Fill() const {
        const qd::UniqueFd fd(::open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600));
        const std::string page(4096, 'f');
        while (::write(fd.get(), page.data(), page.size()) > 0) {
        }
    }

  private:
    std::string dir_;
    bool mounted_ = false;
};

TEST_F(EtcFileTest, FullDiskIsReportedAndLeavesNoHalfWrittenFile) {
    TinyTmpfs fs(dir_.file("full"), "size=16k");
    if (!fs.mounted()) {
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    }
    const std::string target = dir_.file("t.ini");
    WriteFile(target, "[s]\nk=1\n");
    WriteFile(dir_.file("full/big.ini"), "[s]\nk=" + std::string(4000, 'a') + "\n");
    fs.Fill();

    // The rewritten file needs a second page that is not there.
    EXPECT_EQ(EtcSaveValueFile("full/big.ini", "s", "k", std::string(4200, 'b').c_str()), -5);
    EXPECT_EQ(EtcSaveValueFile("full/new.ini", "s", "k", "1"), -5);
    EXPECT_FALSE(FileExists(dir_.file("full/new.ini")));
    {
        // The scratch copy cannot be written: the file must stay as it was.
        const qdtest::ScopedChdir onFullDisk(dir_.file("full"));
        EXPECT_EQ(EtcSaveValueFile(target.c_str(), "s", "k", "2"), -5);
        EXPECT_FALSE(FileExists("etc0.ini"));
    }
    EXPECT_EQ(ReadFile(target), "[s]\nk=1\n");
}

}  // namespace
