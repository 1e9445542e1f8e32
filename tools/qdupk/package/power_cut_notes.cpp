#include "power_cut_notes.h"

#include "item_types.h"
#include "libqdupdate.h"

namespace qdupk {

namespace {

// Items a camera installs into the system it runs, whichever slot the
// images of the same package are written to.
bool GoesToRunningSystem(std::int32_t type) {
    switch (type) {
        case QDUPK_ITEM_BASH:
        case QDUPK_ITEM_APP:
        case QDUPK_ITEM_FILE:
        case QDUPK_ITEM_WEBPAGE:
        case QDUPK_ITEM_AUDIOAPP:
            return true;
        default:
            return false;
    }
}

std::string MixedNote(const std::vector<std::int32_t>& types) {
    std::string items;
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (GoesToRunningSystem(types[i])) {
            items += (items.empty() ? "" : ", ") + ItemLabel(static_cast<std::int64_t>(i)) + " (" +
                     ItemTypeName(types[i]) + ")";
        }
    }
    return items +
           " go to the running system, not into the root file system image: a camera "
           "with two slots boots the new image without them";
}

}  // namespace

std::vector<std::string> PowerCutNotes(const std::vector<std::int32_t>& itemTypes) {
    std::vector<std::string> notes;
    bool rootfs = false;
    bool running = false;
    for (std::size_t i = 0; i < itemTypes.size(); ++i) {
        rootfs = rootfs || itemTypes[i] == QDUPK_ITEM_ROOTFS;
        running = running || GoesToRunningSystem(itemTypes[i]);
        if (itemTypes[i] == QDUPK_ITEM_UBOOT) {
            notes.push_back(ItemLabel(static_cast<std::int64_t>(i)) +
                            " is a boot-loader image: a power cut during its write leaves the "
                            "camera unable to start");
        }
    }
    if (rootfs && running) {
        notes.push_back(MixedNote(itemTypes));
    }
    return notes;
}

}  // namespace qdupk
