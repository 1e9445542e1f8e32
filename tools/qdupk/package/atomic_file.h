// Output that appears whole or not at all: written to a temporary file
// beside the target, made durable, then renamed over it.
#ifndef QDUPK_TOOL_ATOMIC_FILE_H
#define QDUPK_TOOL_ATOMIC_FILE_H

#include <sys/types.h>

#include <string>

#include "errors.h"

namespace qdupk {

// Removes the temporary file unless it was committed. Throws Error.
class AtomicFile {
  public:
    // mode 0 means an ordinary new file's mode (0666 less the umask).
    explicit AtomicFile(std::string target, mode_t mode = 0);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    // Flushes the written file to disk, renames it over the target and
    // flushes the directory, so a power cut leaves the old file or the new
    // one, never a torn or empty one. With replace false, a target that
    // exists by then (made meanwhile by anyone) is kept and the commit
    // fails.
    void Commit(bool replace = true);

  private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_ATOMIC_FILE_H
