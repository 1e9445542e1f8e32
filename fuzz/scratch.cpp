// Scratch directories and small file helpers shared by the fuzz targets.
#include "scratch.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "sandbox.h"

namespace qdfuzz {

Scratch::Scratch(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qdfuzz-" + name + ".XXXXXX";
    char resolved[PATH_MAX];
    if (mkdtemp(pattern.data()) == nullptr || realpath(pattern.c_str(), resolved) == nullptr) {
        Fail("cannot create a scratch directory", pattern);
    }
    dir_ = resolved;
}

Scratch::~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void Scratch::Wipe() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, error)) {
        std::filesystem::remove_all(entry.path(), error);
    }
}

InDirectory::InDirectory(const std::string& dir) : previous_(open(".", O_RDONLY | O_CLOEXEC)) {
    if (previous_ < 0 || chdir(dir.c_str()) != 0) {
        Fail("cannot change into", dir);
    }
}

InDirectory::~InDirectory() {
    if (fchdir(previous_) != 0) {
        Fail("cannot change back from the scratch directory", "");
    }
    close(previous_);
}

void QuietStdout() {
    if (std::getenv("QD_FUZZ_VERBOSE") != nullptr) {
        return;
    }
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        Fail("cannot silence standard output", "");
    }
    close(null);
}

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    const bool ok = fp != nullptr && (size == 0 || std::fwrite(data, 1, size, fp) == size);
    if (fp == nullptr || std::fclose(fp) != 0 || !ok) {
        Fail("cannot write", path);
    }
}

}  // namespace qdfuzz
