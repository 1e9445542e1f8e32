// Item type names as manifests and listings spell them.
#ifndef QDUPK_TOOL_ITEM_TYPES_H
#define QDUPK_TOOL_ITEM_TYPES_H

#include <cstdint>
#include <optional>
#include <string>

namespace qdupk {

// A listed name ("kernel", "script", ...) or the number of a listed type.
std::optional<std::int32_t> ParseItemType(const std::string& text);
// The listed name, or the number itself for a type outside the list.
std::string ItemTypeName(std::int32_t type);
// "kernel, rootfs, ..." for messages and usage text.
std::string ItemTypeNameList();

}  // namespace qdupk

#endif  // QDUPK_TOOL_ITEM_TYPES_H
