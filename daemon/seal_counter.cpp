// The counter file: strict parsing, and replacement through a synced
// temporary file so a power cut never leaves it half-written.
#include "seal_counter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"

namespace {

constexpr std::size_t kMaxDigits = 20;  // 18446744073709551615
constexpr std::size_t kPathSize = PATH_MAX;
using PathText = char[kPathSize];

// Reads until `size` bytes or the end of the file: the count, or -1.
long ReadUpTo(int fd, char* buf, std::size_t size) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

// Digits and exactly one newline after them; a value beyond 64 bits is
// corrupt rather than wrapped to a small one.
bool ParseCounter(const char* text, std::size_t size, std::uint64_t* counter) noexcept {
    if (size < 2 || size > kMaxDigits + 1 || text[size - 1] != '\n') {
        return false;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < size; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    *counter = value;
    return true;
}

bool WriteWhole(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A temporary file left by a power cut is replaced; a link planted under
// its name is removed, never written through.
bool WriteTempFile(const char* tmp, std::uint64_t counter) noexcept {
    if (::unlink(tmp) != 0 && errno != ENOENT) {
        return false;
    }
    qd::UniqueFd fd(::open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return false;
    }
    char text[kMaxDigits + 2];
    static_cast<void>(
        qd::FormatText(text, sizeof text, "%llu\n", static_cast<unsigned long long>(counter)));
    if (!WriteWhole(fd.get(), text, std::strlen(text)) || ::fsync(fd.get()) != 0) {
        return false;
    }
    return ::close(fd.release()) == 0;
}

bool DirectoryOf(const char* path, PathText& dir) noexcept {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return qd::CopyText(dir, ".");
    }
    const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= kPathSize) {
        return false;
    }
    std::memcpy(dir, path, length);
    dir[length] = '\0';
    return true;
}

enum class Place { kFile, kNoFile, kUnreachable, kError };

// A file not there yet: its directory must be, and is resolved. Anything
// under the name (a link to nothing) or a missing directory is
// unreachable, never a first counter of 0.
Place ResolveMissing(const char* path, PathText& resolved) noexcept {
    struct stat st {};
    PathText dir;
    PathText realDir;
    if (::lstat(path, &st) == 0 || errno != ENOENT || !DirectoryOf(path, dir)) {
        return Place::kUnreachable;
    }
    if (::realpath(dir, realDir) == nullptr) {
        return errno == ENOENT || errno == ENOTDIR ? Place::kUnreachable : Place::kError;
    }
    const char* name = std::strrchr(path, '/');
    name = name == nullptr ? path : name + 1;
    const char* separator = std::strcmp(realDir, "/") == 0 ? "" : "/";
    return qd::FormatText(resolved, sizeof resolved, "%s%s%s", realDir, separator, name)
               ? Place::kNoFile
               : Place::kError;
}

// Where the counter is: the path with every link resolved, once per read or
// store, so a store lands beside the link's target and leaves the link.
Place ResolveCounterPath(const char* path, PathText& resolved) noexcept {
    if (::realpath(path, resolved) != nullptr) {
        return Place::kFile;
    }
    if (errno == ENOENT) {
        return ResolveMissing(path, resolved);
    }
    return errno == ENOTDIR ? Place::kUnreachable : Place::kError;
}

// Makes the rename itself durable. A file system that cannot sync a
// directory (EINVAL) has nothing more to offer, so that counts as done.
bool SyncDirectoryOf(const char* path) noexcept {
    PathText dir;
    if (!DirectoryOf(path, dir)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const qd::UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && (::fsync(fd.get()) == 0 || errno == EINVAL);
}

}  // namespace

namespace {

CounterRead ReadResolved(const char* resolved, std::uint64_t* counter) noexcept {
    // Non-blocking, so a FIFO under the name cannot stall the upload.
    const qd::UniqueFd fd(::open(resolved, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return CounterRead::kUnreadable;
    }
    char text[kMaxDigits + 2];  // one more than the longest: a longer file is seen
    const long size = ReadUpTo(fd.get(), text, sizeof text);
    if (size < 0) {
        return CounterRead::kUnreadable;
    }
    return ParseCounter(text, static_cast<std::size_t>(size), counter) ? CounterRead::kOk
                                                                       : CounterRead::kCorrupt;
}

CounterRead ReadCounter(const char* path, std::uint64_t* counter, bool missingIsZero) noexcept {
    PathText resolved;
    switch (ResolveCounterPath(path, resolved)) {
        case Place::kFile:
            return ReadResolved(resolved, counter);
        case Place::kNoFile:
            *counter = 0;
            return missingIsZero ? CounterRead::kOk : CounterRead::kMissing;
        case Place::kUnreachable:
            return CounterRead::kUnreachable;
        case Place::kError:
            break;
    }
    return CounterRead::kUnreadable;
}

}  // namespace

CounterRead ReadSealCounter(const char* path, std::uint64_t* counter) noexcept {
    return ReadCounter(path, counter, true);
}

CounterRead ReadExistingSealCounter(const char* path, std::uint64_t* counter) noexcept {
    return ReadCounter(path, counter, false);
}

const char* CounterReadProblem(CounterRead read) noexcept {
    switch (read) {
        case CounterRead::kOk:
            break;
        case CounterRead::kCorrupt:
            return "is corrupt (want digits and a newline)";
        case CounterRead::kUnreadable:
            return "cannot be read";
        case CounterRead::kUnreachable:
            return "cannot be reached: a link to nothing or a missing directory (only a missing "
                   "file in an existing directory counts as 0)";
        case CounterRead::kMissing:
            return "does not exist (the recovery system never takes a missing counter file "
                   "for 0)";
    }
    return "is fine";
}

bool StoreSealCounter(const char* path, std::uint64_t counter) noexcept {
    PathText target;
    const Place place = ResolveCounterPath(path, target);
    if (place == Place::kUnreachable || place == Place::kError) {
        QD_LOG_ERR("cannot store the seal counter in %s: %s\n", path,
                   place == Place::kUnreachable ? "a link to nothing or a missing directory"
                                                : std::strerror(errno));
        return false;
    }
    PathText tmp;
    if (!qd::FormatText(tmp, sizeof tmp, "%s.tmp", target)) {
        QD_LOG_ERR("counter file path too long: %s\n", target);
        return false;
    }
    if (!WriteTempFile(tmp, counter) || ::rename(tmp, target) != 0) {
        const int error = errno;
        static_cast<void>(::unlink(tmp));
        QD_LOG_ERR("cannot store the seal counter in %s: %s\n", target, std::strerror(error));
        return false;
    }
    if (!SyncDirectoryOf(target)) {
        QD_LOG_ERR("cannot sync the directory of %s: %s\n", target, std::strerror(errno));
        return false;
    }
    return true;
}
