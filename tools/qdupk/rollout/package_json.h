// Packages and verdicts as JSON, in the shape every --json output of qdupk
// has (see json_line.h): snake_case members, texts as stored, absent
// values null.
#ifndef QDUPK_TOOL_PACKAGE_JSON_H
#define QDUPK_TOOL_PACKAGE_JSON_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "package_reader.h"

namespace qdupk {

// {"devid", "format_version", "items": [...], "name", "seal": {...}, "version"}
nlohmann::json InfoJson(const PackageInfo& info);

// InfoJson of what was read, with "package" (the path), "accepted", "message"
// (the fault, or the summary) and "verified_with" (the public key file that
// verified the signature, or null).
nlohmann::json VerifyJson(const std::string& path, const VerifyResult& result,
                          const std::string& verifiedWith);

// The public key file whose key verified the signature, of `keyFiles` as
// given to PolicyFromKeyFiles; empty when none did.
std::string VerifiedWith(const std::vector<std::string>& keyFiles, const VerifyResult& result);

}  // namespace qdupk

#endif  // QDUPK_TOOL_PACKAGE_JSON_H
