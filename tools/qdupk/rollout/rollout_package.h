// The package a rollout sends. It is opened once, verified through that
// open file and sent from it: a file renamed over its path, or removed,
// after the open changes neither what is checked nor what goes out.
#ifndef QDUPK_TOOL_ROLLOUT_PACKAGE_H
#define QDUPK_TOOL_ROLLOUT_PACKAGE_H

#include <cstdint>
#include <string>

#include "package_reader.h"
#include "qd_owners.h"

namespace qdupk {

struct RolloutPackage {
    qd::UniqueFd fd;
    std::uint64_t size = 0;
};

// Opens path as a package a camera takes: a regular file of 1 to
// qd::kMaxUploadLength bytes. Throws Error naming what keeps it from one.
RolloutPackage OpenRolloutPackage(const std::string& path);

// Verifies the opened file, as a camera with `policy` would take it; the
// summary of what was found, and what was read into `info` when given.
// Throws Error naming `path` when a camera would refuse it, and then
// `unsent` in brackets.
std::string VerifyOpened(const RolloutPackage& package, const std::string& path,
                         const SealPolicy& policy, PackageInfo* info = nullptr,
                         const char* unsent = "nothing sent");

// The verdict VerifyOpened acts on, its message naming `path`: for a front
// that shows a refused package's findings instead of ending.
VerifyResult JudgeOpened(const RolloutPackage& package, const std::string& path,
                         const SealPolicy& policy);

// What VerifyOpened throws for a package a camera would refuse.
std::string RefusalText(const std::string& path, const std::string& message,
                        const char* unsent = "nothing sent");

// Whether the package holds a kernel or root file system image, the items
// a camera's boot journal records and its new firmware confirms.
bool HasBootImages(const PackageInfo& info);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ROLLOUT_PACKAGE_H
