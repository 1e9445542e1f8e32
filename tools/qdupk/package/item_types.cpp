#include "item_types.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "libqdupdate.h"

namespace qdupk {

namespace {

struct TypeName {
    const char* name;
    std::int32_t type;
};

constexpr TypeName kTypeNames[] = {
    {"kernel", QDUPK_ITEM_KERNEL},   {"rootfs", QDUPK_ITEM_ROOTFS},
    {"uboot", QDUPK_ITEM_UBOOT},     {"script", QDUPK_ITEM_BASH},
    {"app", QDUPK_ITEM_APP},         {"file", QDUPK_ITEM_FILE},
    {"webpage", QDUPK_ITEM_WEBPAGE}, {"mcu", QDUPK_ITEM_MCUARM},
    {"facemcu", QDUPK_ITEM_FACEMUC}, {"audioapp", QDUPK_ITEM_AUDIOAPP},
};

std::optional<std::int32_t> ParseNumber(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<std::int32_t> ParseItemType(const std::string& text) {
    const std::optional<std::int32_t> number = ParseNumber(text);
    for (const TypeName& entry : kTypeNames) {
        if (text == entry.name || (number && *number == entry.type)) {
            return entry.type;
        }
    }
    return std::nullopt;
}

std::string ItemTypeName(std::int32_t type) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return std::to_string(type);
}

std::string ItemTypeNameList() {
    std::string list;
    for (const TypeName& entry : kTypeNames) {
        if (!list.empty()) {
            list += ", ";
        }
        list += entry.name;
    }
    return list;
}

std::string ItemLabel(std::int64_t index) {
    return "item " + std::to_string(ItemNumber(index));
}

bool IsFlashImage(std::int32_t type) {
    return type <= QDUPK_ITEM_UBOOT;
}

}  // namespace qdupk
