// JSON as qdupk prints it.
#ifndef QDUPK_TOOL_JSON_LINE_H
#define QDUPK_TOOL_JSON_LINE_H

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace qdupk {

// The value on one line, with a space after each comma and colon
// ([{"address": "10.0.0.2", "port": 8080}]): what scripts parse and people
// read; members come in key order. Strings are escaped as JSON requires,
// control characters included; bytes that are not UTF-8 become U+FFFD
// instead of failing the output.
std::string JsonLine(const nlohmann::json& value);

}  // namespace qdupk

#endif  // QDUPK_TOOL_JSON_LINE_H
