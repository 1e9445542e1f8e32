// Files the system creates under fixed names in a temporary directory that
// others may be able to write (/tmp), and the write rule for the large
// files it stores there (packages, extracted items).
#ifndef QD_FILES_H
#define QD_FILES_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "qd_owners.h"

namespace qd {

// Opens `path` for writing as a new, empty file of our own: whatever stands
// under that name (an older file, or a link planted there to make us
// overwrite its target) is removed first and never followed. With
// readBack the stream is open for reading as well ("w+b"). Empty on
// failure, with errno set.
[[nodiscard]] inline FilePtr CreateFreshFile(const char* path, bool readBack = false) noexcept {
    if (::unlink(path) != 0 && errno != ENOENT) {
        return nullptr;
    }
    const int access = readBack ? O_RDWR : O_WRONLY;
    UniqueFd fd(::open(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return nullptr;
    }
    FilePtr file(::fdopen(fd.get(), readBack ? "w+b" : "wb"));
    if (file) {
        static_cast<void>(fd.release());  // the stream owns it now
    }
    return file;
}

// Writes size bytes. A write that stores nothing (a full disk that may free
// up) is tried again after a short pause, 21 attempts in all; one that
// stores only part fails at once, since retrying it would write the rest
// out of place. Returns what the last attempt stored: size when all of it
// was written.
[[nodiscard]] inline std::size_t WriteAllRetrying(std::FILE* file, const void* data,
                                                  std::size_t size) noexcept {
    constexpr int kAttempts = 21;
    constexpr timespec kPause = {0, 5000000L};
    std::size_t written = 0;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        written = std::fwrite(data, 1, size, file);
        if (written == size || written > 0) {
            break;
        }
        std::clearerr(file);
        if (attempt < kAttempts) {
            // A signal may cut the pause short; the next attempt comes
            // sooner, which is harmless.
            static_cast<void>(::nanosleep(&kPause, nullptr));
        }
    }
    return written;
}

}  // namespace qd

#endif  // QD_FILES_H
