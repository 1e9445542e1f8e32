// Small helpers every test room uses: a scratch directory that removes
// itself, whole-file read and write, and capture of standard output.
#ifndef QD_TEST_SUPPORT_H
#define QD_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace qdtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs the rest of the scope with the process's working directory changed.
class ScopedChdir {
  public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

  private:
    std::string previous_;
};

std::string ReadFile(const std::string& path);
std::vector<unsigned char> ReadBytes(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);
bool FileExists(const std::string& path);

// Captures what the code under test prints on standard output (fd 1).
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing (once) and returns everything printed meanwhile.
    std::string Finish();

  private:
    int savedFd_ = -1;
    std::string path_;
    bool finished_ = false;
    std::string text_;
};

}  // namespace qdtest

#endif  // QD_TEST_SUPPORT_H
