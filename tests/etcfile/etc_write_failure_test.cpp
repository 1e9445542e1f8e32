// Saves that meet read errors, full disks and files they must not touch.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <thread>

#include "etc_fixture.h"
#include "etc_internal.h"
#include "qd_owners.h"
#include "test_timing.h"

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

// Runs body in a child process with a mount namespace of its own, in which
// a tmpfs of a few pages is mounted on dir, so a full disk can be had
// without touching the machine's mounts. The child's report (body's text,
// or "no tmpfs" when the mount was refused) comes back through a pipe.
template <typename Body>
std::string InTinyTmpfs(const std::string& dir, const char* options, Body body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string report = "no tmpfs";
        if (::mkdir(dir.c_str(), 0755) == 0 && ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0) {
            try {
                report = body();
            } catch (const std::exception& e) {
                report = e.what();
            }
        }
        const bool sent =
            ::write(fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        _exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    std::string report;
    char chunk[256];
    ssize_t n = 0;
    while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) {
        report.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    static_cast<void>(::waitpid(child, &status, 0));
    return report;
}

// Takes every free page, so the next write to a new page fails.
void Fill(const std::string& dir) {
    const qd::UniqueFd fd(::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string page(4096, 'f');
    while (::write(fd.get(), page.data(), page.size()) > 0) {
    }
}

// What a file is: its inode, mode and content, for "unchanged" checks.
std::string Identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "missing";
    }
    return std::to_string(st.st_ino) + "/" + std::to_string(st.st_mode) + "/" + ReadFile(path);
}

TEST_F(EtcFileTest, FullDiskIsReportedAndLeavesTheFileAsItWas) {
    const std::string full = dir_.file("full");
    const std::string target = dir_.file("t.ini");
    WriteFile(target, "[s]\nk=1\n");
    const std::string report = InTinyTmpfs(full, "size=16k", [&] {
        // Two pages that a value 900 bytes longer pushes onto a third.
        const std::string big = full + "/big.ini";
        WriteFile(big, "[s]\nk=" + std::string(7800, 'a') + "\nlast=1\n");
        ::chmod(big.c_str(), 0640);
        const std::string before = Identity(big);
        Fill(full);
        std::string r =
            std::to_string(EtcSaveValueFile(big.c_str(), "s", "k", std::string(8700, 'b').c_str()));
        r += Identity(big) == before ? " same" : " changed";
        r += " " + std::to_string(EtcSaveValueFile("full/new.ini", "s", "k", "1"));
        r += FileExists(full + "/new.ini") ? " new" : " none";
        // The scratch copy cannot be written: the file must stay as it was.
        const qdtest::ScopedChdir onFullDisk(full);
        r += " " + std::to_string(EtcSaveValueFile(target.c_str(), "s", "k", "2"));
        return r + (FileExists("etc0.ini") ? " scratch" : "");
    });
    if (report == "no tmpfs") {
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    }
    EXPECT_EQ(report, "-5 same -5 none -5");
    EXPECT_EQ(ReadFile(target), "[s]\nk=1\n");
}

TEST_F(EtcFileTest, ScratchNameNeverWritesThroughAPlantedLink) {
    WriteFile("t.ini", "[s]\nk=1\n");
    WriteFile("victim", "keep\n");
    ASSERT_EQ(::symlink("victim", "etc0.ini"), 0);
    EXPECT_EQ(EtcSaveValueFile("t.ini", "s", "k", "2"), 0);
    EXPECT_EQ(ReadFile("victim"), "keep\n");
    ASSERT_EQ(::link("victim", "etc0.ini"), 0);
    EXPECT_EQ(EtcSaveValueFile("t.ini", "s", "k", "3"), 0);
    EXPECT_EQ(ReadFile("victim"), "keep\n");
    EXPECT_EQ(ReadFile("t.ini"), "[s]\nk=3\n");
    EXPECT_FALSE(FileExists("etc0.ini"));
}

// A text that would read back as another section, key or value, or start
// a line of its own, is refused before the file is opened: an existing file
// keeps every byte, a missing one is not created, no scratch file appears.
TEST_F(EtcFileTest, TextsThatWouldNotReadBackAsSavedAreRefused) {
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case refused[] = {
        // Line breaks anywhere.
        {"system", "devname", "cam\n[seal]\nkey1=00"},
        {"system", "devname", "cam\r"},
        {"sys\ntem", "devname", "cam"},
        {"system", "dev\rname", "cam"},
        {nullptr, "key1\n", "00"},
        // What ends a section's name, and blanks a read cuts off.
        {"seal]", "key1", "00"},
        {"seal;x", "key1", "00"},
        {"seal#", "key1", "00"},
        {" seal", "key1", "00"},
        {"seal\t", "key1", "00"},
        // What ends a key or makes its line a header or a remark; no key.
        {"system", "key=1", "00"},
        {"system", "[seal]", "00"},
        {"system", " [seal]", "00"},
        {"system", ";key1", "00"},
        {"system", "#key1", "00"},
        {"system", "key1;x", "00"},
        {"system", "key1 ", "00"},
        {"system", "", "00"},
    };
    const std::string content = "[system]\ndevname=cam\n[seal]\nkey1=11\n";
    WriteFile("t.ini", content);
    const std::string before = Identity("t.ini");
    qdtest::StdoutCapture out;
    for (const Case& c : refused) {
        const std::string what = std::string(c.section ? c.section : "(none)") + "/" + c.key;
        EXPECT_EQ(EtcSaveValueFile("t.ini", c.section, c.key, c.value), -5) << what;
        EXPECT_EQ(EtcSaveValueFile("new.ini", c.section, c.key, c.value), -5) << what;
        if (std::strpbrk(c.value, "\r\n") == nullptr) {
            EXPECT_EQ(EtcSaveIntValueFile("t.ini", c.section, c.key, 1), -5) << what;
        }
        EXPECT_EQ(Identity("t.ini"), before) << what;
        EXPECT_FALSE(FileExists("new.ini")) << what;
        EXPECT_FALSE(FileExists("etc0.ini")) << what;
    }
    const std::string log = out.Finish();
    EXPECT_NE(log.find("t.ini: not saved: the value would not read back as given\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(Get("t.ini", "seal", "key1"), "0:11");

    // Just inside the rules: brackets and blanks inside names, and a value
    // that holds the grammar's characters or starts with a blank.
    EXPECT_EQ(Saved(content, "a [b", "x[y z", " [seal]=1;#"),
              content + "\n[a [b]\nx[y z= [seal]=1;#\n");
    EXPECT_EQ(Get("t.ini", "a [b", "x[y z"), "0: [seal]=1;#");
}

// Two processes save different keys of one file at the same time; each
// save must see the other's finished saves. Both start at one signal so
// their saves overlap.
TEST_F(EtcFileTest, ConcurrentSavesOfOneFileLoseNothing) {
    constexpr int kKeys = 150;
    const std::string target = dir_.file("shared.ini");
    WriteFile(target, "[s]\n");
    ASSERT_EQ(::mkdir(dir_.file("a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir_.file("b").c_str(), 0755), 0);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t children[2] = {-1, -1};
    for (const char who : {'a', 'b'}) {
        const std::string home = dir_.file(std::string(1, who));
        const pid_t child = ::fork();
        if (child == 0) {
            char byte = 0;
            ::close(go[1]);
            const bool ready = ::chdir(home.c_str()) == 0 && ::read(go[0], &byte, 1) == 0;
            int failed = ready ? 0 : 1;
            for (int i = 0; i < kKeys; ++i) {
                const std::string key = who + std::to_string(i);
                failed += EtcSaveIntValueFile(target.c_str(), "s", key.c_str(), i) != 0;
            }
            _exit(failed == 0 ? 0 : 1);
        }
        children[who - 'a'] = child;
    }
    ::close(go[0]);
    ::close(go[1]);
    for (const pid_t child : children) {
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
    }
    int lost = 0;
    for (int i = 0; i < kKeys; ++i) {
        for (const char* who : {"a", "b"}) {
            int value = -1;
            const std::string key = who + std::to_string(i);
            lost += EtcGetIntValueFile(target.c_str(), "s", key.c_str(), &value) != 0 || value != i;
        }
    }
    EXPECT_EQ(lost, 0) << ReadFile(target);
}

// The flags of a descriptor of this process that leads to path, or -1.
long FlagsOfDescriptorOf(const std::string& path, int except) {
    DIR* dir = ::opendir("/proc/self/fd");
    long flags = -1;
    while (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        char target[4096] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (std::atoi(entry->d_name) != except &&
            ::readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) {
            std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
            std::string word;
            while (info >> word && word != "flags:") {
            }
            info >> std::oct >> flags;
        }
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return flags;
}

TEST_F(EtcFileTest, SaveWaitsForTheLockOnACloseOnExecDescriptor) {
    WriteFile("t.ini", "[s]\nk=1\n");
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath("t.ini", resolved), nullptr);
    const std::string target = resolved;
    const qd::UniqueFd held(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    int rc = 1;
    std::thread saver([&rc] { rc = EtcSaveValueFile("t.ini", "s", "k", "2"); });
    // The save has opened the file and waits for the lock.
    long flags = -1;
    static_cast<void>(qdtest::PollUntil(qdtest::Millis(10000), [&] {
        flags = FlagsOfDescriptorOf(target, held.get());
        return flags >= 0;
    }));
    const std::string whileWaiting = ReadFile(target);
    static_cast<void>(::flock(held.get(), LOCK_UN));
    saver.join();
    ASSERT_GE(flags, 0) << "the save never waited for the lock";
    EXPECT_NE(flags & O_CLOEXEC, 0) << std::oct << flags;
    EXPECT_EQ(whileWaiting, "[s]\nk=1\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(target), "[s]\nk=2\n");
}

}  // namespace
