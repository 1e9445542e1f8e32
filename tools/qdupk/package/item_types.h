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
// People and manifests count items from 1 ([item1] is "item 1"); the
// package stores each item's index from 0.
constexpr std::int64_t ItemNumber(std::int64_t index) {
    return index + 1;
}
std::string ItemLabel(std::int64_t index);  // "item 1" for index 0

// Whether the camera writes items of this type to a partition (through a
// temporary file, whatever destination they name) rather than to a path.
bool IsFlashImage(std::int32_t type);

}  // namespace qdupk

#endif  // QDUPK_TOOL_ITEM_TYPES_H
