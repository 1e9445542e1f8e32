// Reads and verifies a package on the host through the device library's own
// verification walk, so a package passes here exactly when the device would
// accept it; this layer only words the library's findings.
#ifndef QDUPK_TOOL_PACKAGE_READER_H
#define QDUPK_TOOL_PACKAGE_READER_H

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qdupk {

class PackageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ItemInfo {
    std::int32_t index = 0;
    std::int32_t type = 0;
    std::int32_t rebootFlag = 0;
    std::int32_t size = 0;
    std::string devId;
    std::string description;
    std::string destination;
    std::array<unsigned char, 16> md5{};
};

struct PackageInfo {
    std::string name;
    std::string version;
    std::string devId;
    std::int32_t formatVersion = 0;
    std::vector<ItemInfo> items;
};

// Reads every record and checks every digest; throws PackageError naming
// the first fault.
PackageInfo ReadPackage(const std::string& path);

struct VerifyResult {
    bool accepted = false;
    std::string message;  // the fault, or a summary of the accepted package
    PackageInfo info;     // filled as far as it could be read
};

// Full verification without installing anything. With a device id, the
// package must be for that device (or for every device, "QUNDAR"); without
// one, any device id is taken, as the daemon's upload does.
VerifyResult VerifyPackage(const std::string& path, const std::optional<std::string>& deviceId);

std::string Md5Hex(const std::array<unsigned char, 16>& md5);

}  // namespace qdupk

#endif  // QDUPK_TOOL_PACKAGE_READER_H
