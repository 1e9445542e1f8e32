#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qd_owners.h"

namespace qdupk {

namespace {

// mkstemp makes the file 0600; a package is an ordinary output file.
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncPath(const std::string& path, int flags) {
    const qd::UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        throw Error("cannot flush " + path + " to disk: " + std::strerror(errno));
    }
}

// A hard link is made only where nothing stands under the name, in one
// step: no check-then-rename race.
void LinkNew(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) {
        throw Error(errno == EEXIST ? to + " already exists"
                                    : "cannot create " + to + ": " + std::strerror(errno));
    }
    (void)std::remove(from.c_str());
}

}  // namespace

AtomicFile::AtomicFile(std::string target, mode_t mode)
    : target_(std::move(target)), path_(target_ + ".XXXXXX") {
    const qd::UniqueFd fd(mkstemp(path_.data()));
    if (!fd.valid()) {
        throw Error("cannot create a temporary file beside " + target_ + ": " +
                    std::strerror(errno));
    }
    (void)::fchmod(fd.get(), mode == 0 ? NewFileMode() : mode);
}

AtomicFile::~AtomicFile() {
    if (!committed_) {
        (void)std::remove(path_.c_str());
    }
}

void AtomicFile::Commit(bool replace) {
    SyncPath(path_, O_RDONLY);
    if (!replace) {
        LinkNew(path_, target_);
    } else if (std::rename(path_.c_str(), target_.c_str()) != 0) {
        throw Error("cannot rename " + path_ + " to " + target_ + ": " + std::strerror(errno));
    }
    committed_ = true;
    SyncPath(DirectoryOf(target_), O_RDONLY | O_DIRECTORY);
}

}  // namespace qdupk
