// Files the system creates under fixed names in a temporary directory that
// others may be able to write (/tmp).
#ifndef QD_FILES_H
#define QD_FILES_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qd {

// Opens `path` for writing as a new, empty file of our own: whatever stands
// under that name (an older file, or a link planted there to make us
// overwrite its target) is removed first and never followed. With
// readBack the stream is open for reading as well ("w+b"). Null on
// failure, with errno set.
inline std::FILE* CreateFreshFile(const char* path, bool readBack = false) noexcept {
    if (::unlink(path) != 0 && errno != ENOENT) {
        return nullptr;
    }
    const int access = readBack ? O_RDWR : O_WRONLY;
    const int fd = ::open(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* fp = ::fdopen(fd, readBack ? "w+b" : "wb");
    if (fp == nullptr) {
        (void)::close(fd);
    }
    return fp;
}

}  // namespace qd

#endif  // QD_FILES_H
