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
            (void)std::fclose(fp);  // nothing useful to do with a close error here
        }
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

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
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace qd

#endif  // QD_OWNERS_H
