#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace qdtest {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/qdtest.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir) : previous_(fs::current_path().string()) {
    fs::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    const std::string text = ReadFile(path);
    return {text.begin(), text.end()};
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char pattern[] = "/tmp/qdcapture.XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    path_ = pattern;
    savedFd_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

std::string StdoutCapture::Finish() {
    if (!finished_) {
        std::fflush(stdout);
        dup2(savedFd_, STDOUT_FILENO);
        close(savedFd_);
        text_ = ReadFile(path_);
        std::remove(path_.c_str());
        finished_ = true;
    }
    return text_;
}

StdoutCapture::~StdoutCapture() {
    Finish();
}

}  // namespace qdtest
