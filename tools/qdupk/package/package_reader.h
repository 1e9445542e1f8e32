// Reads and verifies a package on the host through the device library's own
// verification walk, so a package passes here exactly when the device would
// accept it; this layer only words the library's findings.
#ifndef QDUPK_TOOL_PACKAGE_READER_H
#define QDUPK_TOOL_PACKAGE_READER_H

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "keys.h"

namespace qdupk {

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

enum class SealState : std::uint8_t { kNone, kUnsigned, kSigned };

// What the bytes behind the end record hold.
struct SealInfo {
    SealState state = SealState::kNone;
    std::uint64_t counter = 0;  // 0 when unsealed
    KeyId keyId{};              // all zero unless signed
    int keyIndex = -1;          // the given key that verified it; -1 when none did
};

// What a camera is configured to demand of the seal. No keys: any sound
// seal, or none, is taken and no signature is checked.
struct SealPolicy {
    std::vector<PublicKey> keys;
    std::uint64_t minCounter = 0;
};

// The policy of a camera holding the keys of these public key files and
// this stored counter (none: 0), as --pubkey and --min-counter give it.
// Throws Error when a key file cannot be read.
SealPolicy PolicyFromKeyFiles(const std::vector<std::string>& keyFiles,
                              std::optional<std::uint64_t> minCounter);

struct PackageInfo {
    std::string name;
    std::string version;
    std::string devId;
    std::int32_t formatVersion = 0;
    std::vector<ItemInfo> items;
    SealInfo seal;
    // What cameras record and report for this package (pkg_identity.h);
    // empty for a package that did not pass.
    std::string identity;
};

// The items' types in package order.
std::vector<std::int32_t> ItemTypes(const PackageInfo& info);

// Reads every record and checks every digest, the seal's included (no
// signature is checked); throws Error naming the first fault, and the
// file as a damaged package when it was one, or as not a package when it
// does not even begin with a package head.
PackageInfo ReadPackage(const std::string& path);

struct VerifyResult {
    bool accepted = false;
    bool unreadable = false;  // no package read at all, as against a damaged one
    std::string message;      // the fault, or a summary of the accepted package
    PackageInfo info;         // filled as far as it could be read
};

// Full verification without installing anything, the seal checked as a
// camera configured with `seal` would. With a device id, the package must
// be for that device (or for every device, "QUNDAR"); without one, any
// device id is taken, as the daemon's upload does.
VerifyResult VerifyPackage(const std::string& path, const std::optional<std::string>& deviceId,
                           const SealPolicy& seal = {});

// Why path cannot be read as a package at all, before a byte is read
// ("x.upg: no such file", "x is a directory, not a package", "... is not a
// regular file", "... is empty", "cannot read ...: <reason>"); empty when
// it may be one.
std::string PackageFileProblem(const std::string& path);
// The same judgement of a file already looked at: `info` as stat or fstat
// filled it, or null when that failed with errno.
std::string PackageFileProblem(const std::string& path, const struct stat* info);

// "unsealed", "sealed, unsigned, counter 0",
// "sealed, signed by key 0123456789abcdef, counter 7".
std::string SealSummary(const SealInfo& seal);
const char* SealStateName(SealState state);  // "none", "unsigned", "signed"

}  // namespace qdupk

#endif  // QDUPK_TOOL_PACKAGE_READER_H
