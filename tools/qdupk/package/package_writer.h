// Writes upgrade packages. Output is a pure function of the inputs: the
// identifier fields are all zero and the format version is 1, so the same
// inputs give the same bytes.
#ifndef QDUPK_TOOL_PACKAGE_WRITER_H
#define QDUPK_TOOL_PACKAGE_WRITER_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "errors.h"
#include "libqdupdate.h"
#include "seal_writer.h"

namespace qdupk {

constexpr std::int32_t kFormatVersion = 1;
constexpr std::size_t kMaxTextLength = 127;

struct ItemPlan {
    std::int32_t type = QDUPK_ITEM_FILE;
    std::string destination;
    std::string devId;
    std::string description;
    std::int32_t rebootFlag = 0;
    std::string sourcePath;  // the data is this file's content...
    std::string data;        // ...or, when sourcePath is empty, these bytes
};

// An item whose data is given in memory, with no device id, description or
// reboot flag.
ItemPlan DataItem(std::int32_t type, std::string data, std::string destination = {});

struct PackagePlan {
    std::string name;
    std::string version;
    std::string devId;
    std::vector<ItemPlan> items;
};

// The package without a seal (as packages were before seals). Throws
// Error for a plan that cannot make a valid package (no items,
// a text over 127 characters, an item without data or over 2 GiB - 1) and
// for read and write failures.
void WritePackage(const PackagePlan& plan, std::ostream& out);
std::string BuildPackage(const PackagePlan& plan);
// The package sealed (signed when the seal names a key), written through a
// temporary file beside outPath that is renamed once it verifies, so a
// failure never leaves a partial package (nor the temporary file) behind.
// With replace false an existing outPath is left alone and the write fails.
void WritePackageFile(const PackagePlan& plan, const std::string& outPath,
                      const SealOpts& seal = {}, bool replace = true);

}  // namespace qdupk

#endif  // QDUPK_TOOL_PACKAGE_WRITER_H
