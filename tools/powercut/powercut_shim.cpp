// LD_PRELOAD layer that makes the files of one directory behave like flash
// under a power cut. Every process of a camera loads it; only descriptors
// of files directly in QD_POWERCUT_DIR are tracked:
//   - each write to one is an event, counted across processes, and is
//     recorded as the block in flight before it is made;
//   - fsync, fdatasync, sync and syncfs make what was written durable;
//   - at event QD_POWERCUT_AT the first half of that block is written, the
//     cut is marked in QD_POWERCUT_STATE/cut, and the process stops for
//     good, as does any process reaching a later event: nothing more
//     reaches the flash before the rig cuts the power and rolls back.
// Both pwrite and pwrite64 are defined here under their own names; the
// build's large-file switch would rename the first to the second.
#undef _FILE_OFFSET_BITS
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "powercut_store.h"

namespace {

bool LoadLayout(qdpc::Layout* layout) {
    const char* tracked = std::getenv("QD_POWERCUT_DIR");
    const char* state = std::getenv("QD_POWERCUT_STATE");
    if (tracked == nullptr || state == nullptr || *tracked == '\0' || *state == '\0') {
        return false;
    }
    layout->tracked = tracked;
    layout->state = state;
    while (layout->tracked.size() > 1 && layout->tracked.back() == '/') {
        layout->tracked.pop_back();
    }
    return true;
}

std::uint64_t CutPoint() {
    const char* at = std::getenv("QD_POWERCUT_AT");
    return at == nullptr ? 0 : std::strtoull(at, nullptr, 10);
}

std::string FdPath(int fd) {
    char link[64];
    char target[4096];
    static_cast<void>(std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd));
    const ssize_t size = ::readlink(link, target, sizeof target - 1);
    return size <= 0 ? std::string() : std::string(target, static_cast<std::size_t>(size));
}

std::string ProcessName() {
    char name[64] = {};
    const int fd = ::open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    const ssize_t size = fd < 0 ? -1 : ::read(fd, name, sizeof name - 1);
    if (fd >= 0) {
        ::close(fd);
    }
    std::string text(name, size > 0 ? static_cast<std::size_t>(size) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "?" : text;
}

// A process past the cut point never writes again; the rig ends it.
[[noreturn]] void StopForGood() {
    for (;;) {
        static_cast<void>(::raise(SIGSTOP));
        ::pause();
    }
}

struct Tracked {
    qdpc::Layout layout;
    std::string name;
};

bool Track(int fd, Tracked* out) {
    if (!LoadLayout(&out->layout)) {
        return false;
    }
    out->name = qdpc::TrackedName(out->layout, FdPath(fd));
    return !out->name.empty();
}

std::string EventLine(std::uint64_t event, const char* kind, const std::string& name,
                      std::uint64_t offset, std::size_t size) {
    return std::to_string(event) + " " + kind + " " + name + " " + std::to_string(offset) + " " +
           std::to_string(size) + " " + std::to_string(::getpid()) + " " + ProcessName();
}

// One tracked write: counted, recorded in flight, then made (or cut).
ssize_t TrackedWrite(const Tracked& t, int fd, const void* data, std::size_t size, off_t offset) {
    const int lock = qdpc::LockCounter(t.layout);
    const std::uint64_t event = qdpc::NextEvent(lock);
    const std::uint64_t cutAt = CutPoint();
    const auto at = static_cast<std::uint64_t>(offset);
    static_cast<void>(qdpc::LogEvent(t.layout, EventLine(event, "write", t.name, at, size)));
    if (cutAt != 0 && event > cutAt) {
        qdpc::UnlockCounter(lock);
        StopForGood();
    }
    static_cast<void>(qdpc::RecordInFlight(t.layout, t.name, at, data, size));
    if (cutAt != 0 && event == cutAt) {
        static_cast<void>(qdpc::RawPwriteAll(fd, data, size / 2, offset));
        static_cast<void>(qdpc::WriteCutMark(t.layout, EventLine(event, "cut", t.name, at, size)));
        qdpc::UnlockCounter(lock);
        StopForGood();
    }
    qdpc::UnlockCounter(lock);
    return qdpc::RawPwrite(fd, data, size, offset);
}

// write(2) at the descriptor's position: made as a pwrite, then the
// position moves on as write would have moved it.
ssize_t TrackedWriteAtPosition(const Tracked& t, int fd, const void* data, std::size_t size) {
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    const int flags = ::fcntl(fd, F_GETFL);
    if (position < 0 || flags < 0 || (flags & O_APPEND) != 0) {
        return static_cast<ssize_t>(::syscall(SYS_write, fd, data, size));
    }
    const ssize_t put = TrackedWrite(t, fd, data, size, position);
    if (put > 0) {
        ::lseek(fd, position + put, SEEK_SET);
    }
    return put;
}

void TrackedFlush(const Tracked& t) {
    const int lock = qdpc::LockCounter(t.layout);
    static_cast<void>(qdpc::MakeDurable(t.layout, t.name));
    static_cast<void>(qdpc::LogEvent(
        t.layout,
        "0 fsync " + t.name + " 0 0 " + std::to_string(::getpid()) + " " + ProcessName()));
    qdpc::UnlockCounter(lock);
}

void FlushAll() {
    qdpc::Layout layout;
    if (LoadLayout(&layout)) {
        const int lock = qdpc::LockCounter(layout);
        static_cast<void>(qdpc::MakeAllDurable(layout));
        qdpc::UnlockCounter(lock);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    Tracked t;
    if (size == 0 || !Track(fd, &t)) {
        return static_cast<ssize_t>(::syscall(SYS_write, fd, data, size));
    }
    const int saved = errno;
    const ssize_t put = TrackedWriteAtPosition(t, fd, data, size);
    if (put >= 0) {
        errno = saved;
    }
    return put;
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void* data, size_t size,
                                                      off_t offset) {
    Tracked t;
    if (size == 0 || !Track(fd, &t)) {
        return qdpc::RawPwrite(fd, data, size, offset);
    }
    return TrackedWrite(t, fd, data, size, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void* data, size_t size,
                                                        off_t offset) {
    return pwrite(fd, data, size, offset);
}

// A gathered write is one block in flight, like the write it stands for.
__attribute__((visibility("default"))) ssize_t writev(int fd, const struct iovec* iov, int count) {
    Tracked t;
    if (!Track(fd, &t)) {
        return static_cast<ssize_t>(::syscall(SYS_writev, fd, iov, count));
    }
    std::vector<char> joined;
    for (int i = 0; i < count; ++i) {
        const auto* base = static_cast<const char*>(iov[i].iov_base);
        joined.insert(joined.end(), base, base + iov[i].iov_len);
    }
    return joined.empty() ? 0 : TrackedWriteAtPosition(t, fd, joined.data(), joined.size());
}

__attribute__((visibility("default"))) int fsync(int fd) {
    Tracked t;
    const int rc = static_cast<int>(::syscall(SYS_fsync, fd));
    if (rc == 0 && Track(fd, &t)) {
        TrackedFlush(t);
    }
    return rc;
}

__attribute__((visibility("default"))) int fdatasync(int fd) {
    Tracked t;
    const int rc = static_cast<int>(::syscall(SYS_fdatasync, fd));
    if (rc == 0 && Track(fd, &t)) {
        TrackedFlush(t);
    }
    return rc;
}

__attribute__((visibility("default"))) void sync() noexcept {
    ::syscall(SYS_sync);
    FlushAll();
}

__attribute__((visibility("default"))) int syncfs(int fd) noexcept {
    const int rc = static_cast<int>(::syscall(SYS_syncfs, fd));
    FlushAll();
    return rc;
}

}  // extern "C"
