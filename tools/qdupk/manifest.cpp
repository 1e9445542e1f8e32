#include "manifest.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "etcfile.h"
#include "item_types.h"

namespace qdupk {

namespace {

// Longer than any accepted value, so an over-long one is seen whole enough
// to be refused rather than silently cut.
constexpr int kValueCapacity = 1023;
constexpr int kEtcNoFile = -1;
constexpr int kEtcNoSection = -2;

struct Manifest {
    std::string path;
    std::string dir;
};

std::string Where(const std::string& section, const char* key) {
    return "[" + section + "] " + key;
}

// The value, or nothing when the key (or, with sectionMayBeMissing, the
// whole section) is absent.
std::optional<std::string> ReadValue(const Manifest& m, const std::string& section,
                                     const char* key) {
    char value[kValueCapacity + 1];
    const int ret = EtcGetValueFile(m.path.c_str(), section.c_str(), key, value, kValueCapacity);
    if (ret == kEtcNoFile) {
        throw PackError("cannot read manifest " + m.path);
    }
    if (ret != 0) {
        return std::nullopt;
    }
    return std::string(value);
}

std::string Required(const Manifest& m, const std::string& section, const char* key) {
    std::optional<std::string> value = ReadValue(m, section, key);
    if (!value) {
        throw PackError("manifest " + m.path + ": " + Where(section, key) + " is missing");
    }
    return *value;
}

std::string Text(const Manifest& m, const std::string& section, const char* key,
                 bool required = false) {
    std::string value =
        required ? Required(m, section, key) : ReadValue(m, section, key).value_or(std::string());
    if (value.size() > kMaxTextLength) {
        throw PackError("manifest " + m.path + ": " + Where(section, key) +
                        " is longer than 127 characters");
    }
    return value;
}

bool SectionExists(const Manifest& m, const std::string& section) {
    char value[2];
    return EtcGetValueFile(m.path.c_str(), section.c_str(), "type", value, 1) != kEtcNoSection;
}

std::int32_t RebootFlag(const Manifest& m, const std::string& section) {
    const std::string text = ReadValue(m, section, "reboot").value_or("0");
    if (text == "0" || text == "no" || text == "false") {
        return 0;
    }
    if (text == "1" || text == "yes" || text == "true") {
        return 1;
    }
    throw PackError("manifest " + m.path + ": " + Where(section, "reboot") +
                    " must be 0 or 1, not \"" + text + "\"");
}

std::string SourcePath(const Manifest& m, const std::string& section) {
    const std::string source = Required(m, section, "source");
    std::string path = !source.empty() && source[0] == '/' ? source : m.dir + source;
    struct stat st {};
    if (source.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw PackError("manifest " + m.path + ": " + Where(section, "source") + " \"" + path +
                        "\" is not a readable file");
    }
    if (st.st_size == 0) {
        throw PackError("manifest " + m.path + ": " + Where(section, "source") + " \"" + path +
                        "\" is empty");
    }
    return path;
}

ItemPlan ReadItem(const Manifest& m, const std::string& section) {
    ItemPlan item;
    const std::string typeText = Required(m, section, "type");
    const std::optional<std::int32_t> type = ParseItemType(typeText);
    if (!type) {
        throw PackError("manifest " + m.path + ": " + Where(section, "type") + " \"" + typeText +
                        "\" is not one of " + ItemTypeNameList() + " or their numbers");
    }
    item.type = *type;
    item.sourcePath = SourcePath(m, section);
    item.destination = Text(m, section, "dest");
    item.devId = Text(m, section, "devid");
    item.description = Text(m, section, "desc");
    item.rebootFlag = RebootFlag(m, section);
    return item;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

PackagePlan ReadManifest(const std::string& path) {
    const Manifest m{path, DirectoryOf(path)};
    PackagePlan plan;
    plan.name = Text(m, "package", "name", true);
    plan.version = Text(m, "package", "version", true);
    plan.devId = Text(m, "package", "devid", true);
    if (plan.devId.empty()) {
        throw PackError("manifest " + path + ": [package] devid is empty");
    }
    for (int n = 1; SectionExists(m, "item" + std::to_string(n)); ++n) {
        plan.items.push_back(ReadItem(m, "item" + std::to_string(n)));
    }
    if (plan.items.empty()) {
        throw PackError("manifest " + path + ": no items ([item1] is missing)");
    }
    return plan;
}

}  // namespace qdupk
