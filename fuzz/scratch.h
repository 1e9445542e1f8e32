// Where a fuzz target's code under test may write: one scratch directory per
// process under $TMPDIR (or /tmp), emptied between inputs and removed when
// the process ends normally.
#ifndef QD_FUZZ_SCRATCH_H
#define QD_FUZZ_SCRATCH_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qdfuzz {

class Scratch {
  public:
    // Creates "<tmp>/qdfuzz-<name>.XXXXXX"; ends the process when it cannot.
    explicit Scratch(const char* name);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Absolute and resolved (no symbolic links), as the fence compares it.
    const std::string& dir() const { return dir_; }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    // Removes everything inside, so inputs never see each other's files.
    void Wipe() const;

  private:
    std::string dir_;
};

// Runs the rest of the scope in another working directory.
class InDirectory {
  public:
    explicit InDirectory(const std::string& dir);
    ~InDirectory();
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

  private:
    int previous_;
};

// The code under test prints a line per step; that output goes to
// /dev/null unless QD_FUZZ_VERBOSE is set (libFuzzer reports on stderr).
void QuietStdout();

// Writes the bytes as the whole file; ends the process when it cannot.
void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace qdfuzz

#endif  // QD_FUZZ_SCRATCH_H
