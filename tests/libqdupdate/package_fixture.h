// Packages built in a scratch directory, an install callback that records
// what it was handed, and the library's output split into messages.
#ifndef QDTEST_PACKAGE_FIXTURE_H
#define QDTEST_PACKAGE_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libqdupdate.h"
#include "package_writer.h"
#include "test_support.h"

namespace qdtest {

// What the install callback saw, read while the item file still existed.
struct InstallCall {
    std::string path;
    std::string dst;
    int type = 0;
    std::string devId;
    std::string desc;
    int reboot = 0;
    std::string content;
    mode_t mode = 0;
};

// "E <message>" for error lines, "T <message>" for trace lines, "P <line>"
// for lines without prefix; the source position is dropped.
std::vector<std::string> Messages(const std::string& output);
bool Contains(const std::vector<std::string>& messages, const std::string& message);

qdupk::ItemPlan Item(int type, const std::string& data, const std::string& dst = "");
qdupk::PackagePlan Package(std::vector<qdupk::ItemPlan> items, const std::string& devId = "IPC-1");

// File offset of item `index`'s head in a package built from `plan`.
std::size_t ItemHeadOffset(const qdupk::PackagePlan& plan, std::size_t index);
void PatchLe32(std::string& bytes, std::size_t offset, std::int32_t value);

class PackageTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the bytes as the package file and returns its path.
    std::string WritePackage(const std::string& bytes);
    std::string WritePackage(const qdupk::PackagePlan& plan);

    // Runs the update (with an optional check callback) and captures output.
    int Update(const std::string& devId = "IPC-1", QDUPK_CKECKCB check = nullptr);
    int Update(const std::string& devId, const std::string& tempDir, QDUPK_CKECKCB check);

    ScratchDir scratch_;
    std::string package_;
    std::string tempDir_;
    std::vector<std::string> messages_;
    // Filled by the install callback; results_[i] is returned for call i
    // (0 when there are fewer entries).
    static std::vector<InstallCall> calls_;
    static std::vector<int> results_;
    // Item positions seen by the check callback; declineCall_ is refused.
    static int checkCalls_;
    static int declineCall_;

    static int RecordInstall(const char* path, const char* dst, QDUPK_ITEM_TYPE type,
                             const char* devId, const char* desc, int reboot);
    static int DeclineOne(const char* path, const char* dst, QDUPK_ITEM_TYPE type,
                          const char* devId, const char* desc);
};

}  // namespace qdtest

#endif  // QDTEST_PACKAGE_FIXTURE_H
