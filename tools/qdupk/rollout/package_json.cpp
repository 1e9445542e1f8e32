#include "package_json.h"

#include "item_types.h"
#include "power_cut_notes.h"
#include "qd_hex.h"

namespace qdupk {

namespace {

nlohmann::json SealJson(const SealInfo& seal) {
    nlohmann::json json = {{"state", SealStateName(seal.state)}, {"counter", seal.counter}};
    json["key_id"] = seal.state == SealState::kSigned ? nlohmann::json(qd::HexString(seal.keyId))
                                                      : nlohmann::json(nullptr);
    return json;
}

}  // namespace

nlohmann::json InfoJson(const PackageInfo& info) {
    nlohmann::json items = nlohmann::json::array();
    for (const ItemInfo& item : info.items) {
        items.push_back({{"index", item.index},
                         {"number", ItemNumber(item.index)},
                         {"type", ItemTypeName(item.type)},
                         {"size", item.size},
                         {"md5", qd::HexString(item.md5)},
                         {"destination", item.destination},
                         {"devid", item.devId},
                         {"reboot", item.rebootFlag},
                         {"description", item.description}});
    }
    return {{"name", info.name},
            {"version", info.version},
            {"devid", info.devId},
            {"format_version", info.formatVersion},
            {"items", std::move(items)},
            {"seal", SealJson(info.seal)},
            {"identity",
             info.identity.empty() ? nlohmann::json(nullptr) : nlohmann::json(info.identity)},
            {"notes", PowerCutNotes(ItemTypes(info))}};
}

nlohmann::json VerifyJson(const std::string& path, const VerifyResult& result,
                          const std::string& verifiedWith) {
    nlohmann::json json = InfoJson(result.info);
    json["package"] = path;
    json["accepted"] = result.accepted;
    json["message"] = result.message;
    json["verified_with"] =
        verifiedWith.empty() ? nlohmann::json(nullptr) : nlohmann::json(verifiedWith);
    return json;
}

std::string VerifiedWith(const std::vector<std::string>& keyFiles, const VerifyResult& result) {
    const int keyIndex = result.info.seal.keyIndex;
    return result.accepted && keyIndex >= 0 && static_cast<std::size_t>(keyIndex) < keyFiles.size()
               ? keyFiles[static_cast<std::size_t>(keyIndex)]
               : std::string();
}

}  // namespace qdupk
