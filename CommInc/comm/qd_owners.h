// Owners for C resources, so every path closes what it opened.
#ifndef QD_OWNERS_H
#define QD_OWNERS_H

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace qd {

struct FileCloser {
    void operator()(std::FILE* fp) const noexcept {
        if (fp != nullptr) {
            // An owner dropped on an early return has nothing left to
            // report to; paths whose data matters close with CloseChecked.
            static_cast<void>(std::fclose(fp));
        }
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Flushes and closes the file, leaving the owner empty. False when data
// still buffered could not be written or the close itself failed (a full
// device, an I/O error): what was written may be incomplete. An empty
// owner has nothing to lose.
[[nodiscard]] inline bool CloseChecked(FilePtr& file) noexcept {
    return !file || std::fclose(file.release()) == 0;
}

// Move-only owner of a descriptor; -1 means "none".
class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            // Writes through a descriptor are checked where they happen; a
            // close error then leaves nothing to act on.
            static_cast<void>(::close(fd_));
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace qd

#endif  // QD_OWNERS_H
