#include "powercut_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "qd_owners.h"

namespace qdpc {
namespace {

constexpr std::size_t kCopyStep = 65536;

struct InFlightHead {
    std::uint64_t offset;
    std::uint64_t size;
};
static_assert(sizeof(InFlightHead) == 16, "in-flight record head is two 64-bit words");

std::string DurablePath(const Layout& layout, const std::string& name) {
    return layout.state + "/durable/" + name;
}

std::string InFlightPath(const Layout& layout, const std::string& name) {
    return layout.state + "/inflight/" + name;
}

bool MakeDirs(const Layout& layout) noexcept {
    for (const char* sub : {"", "/durable", "/inflight"}) {
        const std::string dir = layout.state + sub;
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

// Copies `from` onto `to` through a temporary file and a rename, so that a
// process killed half-way leaves the previous copy whole.
bool CopyFileAtomically(const std::string& from, const std::string& to) noexcept {
    const qd::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    const std::string temp = to + ".part";
    qd::UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!in.valid() || !out.valid()) {
        return false;
    }
    std::vector<char> buffer(kCopyStep);
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(in.get(), buffer.data(), buffer.size(), at);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!RawPwriteAll(out.get(), buffer.data(), static_cast<std::size_t>(got), at)) {
            return false;
        }
        at += got;
    }
    out.reset();
    return ::rename(temp.c_str(), to.c_str()) == 0;
}

bool ReadAll(int fd, void* data, std::size_t size, off_t offset) noexcept {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, bytes, size, offset);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

// The first half of the recorded block lands on the file: a cut stops the
// flash in the middle of the block.
bool ApplyHalfInFlight(const Layout& layout, const std::string& name) noexcept {
    const qd::UniqueFd record(::open(InFlightPath(layout, name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!record.valid()) {
        return errno == ENOENT;
    }
    InFlightHead head{};
    if (!ReadAll(record.get(), &head, sizeof head, 0)) {
        return true;  // a record cut while being made: its write never started
    }
    std::vector<char> data(head.size / 2);
    const std::string target = layout.tracked + "/" + name;
    const qd::UniqueFd out(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    return out.valid() && ReadAll(record.get(), data.data(), data.size(), sizeof head) &&
           RawPwriteAll(out.get(), data.data(), data.size(), static_cast<off_t>(head.offset));
}

template <typename Visit>
bool ForEachFile(const std::string& dir, Visit visit) noexcept {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return false;
    }
    bool ok = true;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.find(".part") != std::string::npos) {
            continue;
        }
        std::string path = dir;
        path += "/";
        path += name;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ok = visit(name) && ok;
        }
    }
    ::closedir(listing);
    return ok;
}

bool AppendLine(const std::string& path, const std::string& line) noexcept {
    const qd::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    const std::string text = line + "\n";
    return fd.valid() && static_cast<std::size_t>(::syscall(SYS_write, fd.get(), text.data(),
                                                            text.size())) == text.size();
}

}  // namespace

ssize_t RawPwrite(int fd, const void* data, std::size_t size, off_t offset) noexcept {
    return static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, data, size, offset));
}

bool RawPwriteAll(int fd, const void* data, std::size_t size, off_t offset) noexcept {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = RawPwrite(fd, bytes, size, offset);
        if (put <= 0) {
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
    return true;
}

std::string TrackedName(const Layout& layout, const std::string& path) {
    const std::string prefix = layout.tracked + "/";
    if (layout.tracked.empty() || path.compare(0, prefix.size(), prefix) != 0) {
        return {};
    }
    std::string name = path.substr(prefix.size());
    return name.find('/') == std::string::npos ? name : std::string();
}

bool RecordInFlight(const Layout& layout, const std::string& name, std::uint64_t offset,
                    const void* data, std::size_t size) noexcept {
    const std::string path = InFlightPath(layout, name);
    const std::string temp = path + ".part";
    const qd::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const InFlightHead head{offset, size};
    return fd.valid() && RawPwriteAll(fd.get(), &head, sizeof head, 0) &&
           RawPwriteAll(fd.get(), data, size, sizeof head) &&
           ::rename(temp.c_str(), path.c_str()) == 0;
}

bool MakeDurable(const Layout& layout, const std::string& name) noexcept {
    if (!CopyFileAtomically(layout.tracked + "/" + name, DurablePath(layout, name))) {
        return false;
    }
    return ::unlink(InFlightPath(layout, name).c_str()) == 0 || errno == ENOENT;
}

bool MakeAllDurable(const Layout& layout) noexcept {
    return ForEachFile(layout.state + "/inflight",
                       [&](const std::string& name) { return MakeDurable(layout, name); });
}

bool Snapshot(const Layout& layout) noexcept {
    return MakeDirs(layout) && ForEachFile(layout.tracked, [&](const std::string& name) {
               return MakeDurable(layout, name);
           });
}

bool RollBack(const Layout& layout) noexcept {
    const bool restored = ForEachFile(layout.state + "/durable", [&](const std::string& name) {
        return CopyFileAtomically(DurablePath(layout, name), layout.tracked + "/" + name) &&
               ApplyHalfInFlight(layout, name);
    });
    return restored && Snapshot(layout);
}

int LockCounter(const Layout& layout) noexcept {
    const std::string path = layout.state + "/counter";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void UnlockCounter(int fd) noexcept {
    if (fd >= 0) {
        ::close(fd);  // closing drops the lock
    }
}

std::uint64_t NextEvent(int counterFd) noexcept {
    std::uint64_t count = 0;
    if (::pread(counterFd, &count, sizeof count, 0) != static_cast<ssize_t>(sizeof count)) {
        count = 0;  // a fresh counter
    }
    ++count;
    return RawPwriteAll(counterFd, &count, sizeof count, 0) ? count : 0;
}

bool LogEvent(const Layout& layout, const std::string& line) noexcept {
    return AppendLine(layout.state + "/events", line);
}

bool WriteCutMark(const Layout& layout, const std::string& line) noexcept {
    return AppendLine(layout.state + "/cut", line);
}

bool ResetEvents(const Layout& layout) noexcept {
    if (!MakeDirs(layout)) {
        return false;
    }
    for (const char* name : {"/counter", "/events", "/cut"}) {
        const std::string path = layout.state + name;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return true;
}

}  // namespace qdpc
