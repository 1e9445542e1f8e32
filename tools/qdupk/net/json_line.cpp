#include "json_line.h"

#include <nlohmann/json.hpp>

namespace qdupk {

namespace {

void Append(const nlohmann::json& value, std::string& out) {
    if (value.is_array()) {
        out += '[';
        const char* separator = "";
        for (const nlohmann::json& element : value) {
            out += separator;
            Append(element, out);
            separator = ", ";
        }
        out += ']';
    } else if (value.is_object()) {
        out += '{';
        const char* separator = "";
        for (const auto& member : value.items()) {
            out += separator;
            Append(nlohmann::json(member.key()), out);
            out += ": ";
            Append(member.value(), out);
            separator = ", ";
        }
        out += '}';
    } else {
        out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

}  // namespace

std::string JsonLine(const nlohmann::json& value) {
    std::string out;
    Append(value, out);
    return out;
}

}  // namespace qdupk
