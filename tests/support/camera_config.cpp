#include "camera_config.h"

#include <utility>
#include <vector>

namespace qdtest {

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The daemon reads these keys in this order; the file keeps it for clarity.
Entries SystemEntries(const ConfigOptions& o) {
    Entries entries = {
        {"port", std::to_string(o.port)},
        {"devname", o.devname},
        {"uart_arm", o.uartArm},
        {"uart_baud", std::to_string(o.baud)},
        {"mainApp", o.mainApp},
        {"macaddr", o.macaddr},
        {"tmpdir", o.tmpdir},
        {"flash_eraseall", o.eraseCmd},
        {"flashcp", o.copyCmd},
        {"nBlockSize", std::to_string(o.blockSize)},
    };
    if (o.macaddr.empty()) {
        entries.erase(entries.begin() + 5);
    }
    return entries;
}

void ApplyRawValues(Entries& entries, const std::map<std::string, std::string>& raw) {
    for (const auto& [key, value] : raw) {
        bool found = false;
        for (auto& entry : entries) {
            if (entry.first == key) {
                entry.second = value;
                found = true;
            }
        }
        if (!found) {
            entries.emplace_back(key, value);
        }
    }
}

std::string PartitionText(const char* section, const PartitionOptions& p) {
    std::string text = std::string("\n[") + section + "]\n";
    if (!p.mtdName.empty()) {
        text += "szMtdName=" + p.mtdName + "\n";
    }
    const std::pair<const char*, const std::optional<long>&> keys[] = {
        {"bAllMtd", p.allMtd}, {"nPos", p.pos}, {"nSize", p.size}};
    for (const auto& [key, value] : keys) {
        if (value) {
            text += std::string(key) + "=" + std::to_string(*value) + "\n";
        }
    }
    return text;
}

}  // namespace

std::string MakeConfigText(const ConfigOptions& options) {
    Entries entries = SystemEntries(options);
    ApplyRawValues(entries, options.rawValues);
    std::string text = "[system]\n";
    for (const auto& [key, value] : entries) {
        if (options.omit.count(key) == 0) {
            text.append(key).append("=").append(value).append("\n");
        }
    }
    const std::pair<const char*, const std::optional<PartitionOptions>&> sections[] = {
        {"uboot", options.uboot}, {"kernel", options.kernel}, {"rootfs", options.rootfs}};
    for (const auto& [name, partition] : sections) {
        if (partition) {
            text += PartitionText(name, *partition);
        }
    }
    if (!options.seal.empty()) {
        text += "\n[seal]\n";
        for (const auto& [key, value] : options.seal) {
            text.append(key).append("=").append(value).append("\n");
        }
    }
    return text;
}

}  // namespace qdtest
