#include "manifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>

#include "item_types.h"

namespace qdupk {

namespace {

struct Manifest {
    std::string path;
    std::string dir;
    std::vector<std::string>* warnings = nullptr;
};

const std::vector<std::string>& PackageKeys() {
    static const std::vector<std::string> keys{"name", "version", "devid"};
    return keys;
}

const std::vector<std::string>& ItemKeys() {
    static const std::vector<std::string> keys{"type", "source", "dest", "devid", "desc", "reboot"};
    return keys;
}

std::string AtLine(const Manifest& m, int line, const std::string& what) {
    return "manifest " + m.path + ", line " + std::to_string(line) + ": " + what;
}

[[noreturn]] void Refuse(const Manifest& m, int line, const std::string& what) {
    throw Error(AtLine(m, line, what));
}

void Warn(const Manifest& m, int line, const std::string& what) {
    if (m.warnings != nullptr) {
        m.warnings->push_back(AtLine(m, line, what));
    }
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Edits to turn a into b, a swap of two neighbours counting as one
// ("pakc" for "pack"), the commonest slip of fast typing.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        for (std::size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::string Unknown(const std::string& what, const std::string& name,
                    const std::vector<std::string>& known) {
    const std::string nearest = NearestName(name, known);
    const std::string text = "unknown " + what + " \"" + name + "\"";
    return nearest.empty() ? text + " (known: " + Join(known) + ")"
                           : text + " (did you mean \"" + nearest + "\"?)";
}

// N for "itemN" (N from 1, no leading zero); 0 for any other name.
int ItemNumber(const std::string& name) {
    constexpr std::size_t kMaxDigits = 9;
    const std::size_t digits = name.size() - std::min<std::size_t>(name.size(), 4);
    if (name.compare(0, 4, "item") != 0 || digits == 0 || digits > kMaxDigits || name[4] == '0' ||
        !std::all_of(name.begin() + 4, name.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return 0;
    }
    return std::stoi(name.substr(4));
}

std::string UnknownSection(const std::string& name) {
    const std::size_t digits = name.find_last_not_of("0123456789") + 1;
    const std::string item = "item" + (digits < name.size() ? name.substr(digits) : "1");
    return Unknown("section", name, {"package", item}) +
           ": a manifest has [package] and [item1], [item2], ...";
}

// The line grammar knows comments only on lines of their own, so in
// "dest=/opt/x ; old path" the remark is part of the value.
bool EndsInComment(const std::string& value) {
    for (std::size_t i = 1; i < value.size(); ++i) {
        if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t')) {
            return true;
        }
    }
    return false;
}

// A description may well say "A; B", and nothing installs by it.
void CheckComment(const Manifest& m, const ManifestSection& section, const ManifestKey& key) {
    if (!EndsInComment(key.value)) {
        return;
    }
    const std::string what = "[" + section.name + "] " + key.name + " \"" + key.value + "\" ";
    if (key.name == "desc") {
        Warn(m, key.line,
             what + "is kept as written, remark included: comments go on lines of their own");
        return;
    }
    Refuse(m, key.line, what + "holds a remark: comments go on lines of their own");
}

void CheckKeys(const Manifest& m, const ManifestSection& section,
               const std::vector<std::string>& known) {
    std::map<std::string, int> seen;
    for (const ManifestKey& key : section.keys) {
        const std::string where = "[" + section.name + "] ";
        if (std::find(known.begin(), known.end(), key.name) == known.end()) {
            Refuse(m, key.line, where + Unknown("key", key.name, known));
        }
        const auto first = seen.emplace(key.name, key.line);
        if (!first.second) {
            Refuse(m, key.line,
                   where + key.name + " is given twice (first on line " +
                       std::to_string(first.first->second) + ")");
        }
        CheckComment(m, section, key);
    }
}

struct Sections {
    const ManifestSection* package = nullptr;
    std::map<int, const ManifestSection*> items;  // by number
};

Sections Classify(const Manifest& m, const std::vector<ManifestSection>& list) {
    Sections found;
    std::map<std::string, int> seen;
    for (const ManifestSection& section : list) {
        const auto first = seen.emplace(section.name, section.line);
        if (!first.second) {
            Refuse(m, section.line,
                   "[" + section.name + "] appears twice (first on line " +
                       std::to_string(first.first->second) + ")");
        }
        const int number = ItemNumber(section.name);
        if (section.name == "package") {
            found.package = &section;
            CheckKeys(m, section, PackageKeys());
        } else if (number > 0) {
            found.items[number] = &section;
            CheckKeys(m, section, ItemKeys());
        } else {
            Refuse(m, section.line, UnknownSection(section.name));
        }
    }
    return found;
}

// An item after a gap would otherwise be left out of the package unseen.
void CheckNumbering(const Manifest& m, const Sections& sections) {
    int expected = 1;
    for (const auto& item : sections.items) {
        if (item.first != expected) {
            Refuse(m, item.second->line,
                   "[" + item.second->name + "] but no [item" + std::to_string(expected) +
                       "]: items are numbered 1, 2, 3, ... without gaps");
        }
        ++expected;
    }
}

const ManifestKey* Find(const ManifestSection& section, const char* key) {
    for (const ManifestKey& entry : section.keys) {
        if (entry.name == key) {
            return &entry;
        }
    }
    return nullptr;
}

std::string Where(const ManifestSection& section, const char* key) {
    return "[" + section.name + "] " + key;
}

const ManifestKey& Required(const Manifest& m, const ManifestSection& section, const char* key) {
    const ManifestKey* entry = Find(section, key);
    if (entry == nullptr) {
        throw Error("manifest " + m.path + ": " + Where(section, key) + " is missing");
    }
    return *entry;
}

std::string Text(const Manifest& m, const ManifestSection& section, const char* key,
                 bool required = false) {
    const ManifestKey* entry = required ? &Required(m, section, key) : Find(section, key);
    if (entry == nullptr) {
        return std::string();
    }
    if (entry->value.size() > kMaxTextLength) {
        Refuse(m, entry->line, Where(section, key) + " is longer than 127 characters");
    }
    return entry->value;
}

std::int32_t RebootFlag(const Manifest& m, const ManifestSection& section) {
    const ManifestKey* entry = Find(section, "reboot");
    if (entry == nullptr) {
        return 0;
    }
    const std::optional<bool> reboot = ParseBoolean(entry->value);
    if (!reboot) {
        Refuse(m, entry->line,
               Where(section, "reboot") + " \"" + entry->value +
                   "\" is not yes or no (1/0, yes/no, true/false, on/off)");
    }
    return *reboot ? 1 : 0;
}

std::string SourcePath(const Manifest& m, const ManifestSection& section) {
    const ManifestKey& source = Required(m, section, "source");
    const std::string& name = source.value;
    std::string path = !name.empty() && name[0] == '/' ? name : m.dir + name;
    struct stat st {};
    if (name.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Refuse(m, source.line,
               Where(section, "source") + " \"" + path + "\" is not a readable file");
    }
    if (st.st_size == 0) {
        Refuse(m, source.line, Where(section, "source") + " \"" + path + "\" is empty");
    }
    return path;
}

// A relative path would depend on the daemon's working directory, which
// no package can know.
std::string Destination(const Manifest& m, const ManifestSection& section, std::int32_t type) {
    const ManifestKey* entry = Find(section, "dest");
    std::string dest = Text(m, section, "dest");
    if (entry == nullptr || dest.empty()) {
        return dest;
    }
    const int line = entry->line;
    if (dest[0] != '/') {
        Refuse(m, line,
               Where(section, "dest") + " \"" + dest +
                   "\" is a relative path: give the absolute path on the camera");
    }
    if (IsFlashImage(type)) {
        Warn(m, line,
             Where(section, "dest") + " is only a temporary file for a " + ItemTypeName(type) +
                 " image: the camera writes the image to the partition it is configured with");
    }
    return dest;
}

ItemPlan ReadItem(const Manifest& m, const ManifestSection& section) {
    ItemPlan item;
    const ManifestKey& typeText = Required(m, section, "type");
    const std::optional<std::int32_t> type = ParseItemType(typeText.value);
    if (!type) {
        Refuse(m, typeText.line,
               Where(section, "type") + " \"" + typeText.value + "\" is not one of " +
                   ItemTypeNameList() + " or their numbers");
    }
    item.type = *type;
    item.sourcePath = SourcePath(m, section);
    item.destination = Destination(m, section, item.type);
    item.devId = Text(m, section, "devid");
    item.description = Text(m, section, "desc");
    item.rebootFlag = RebootFlag(m, section);
    return item;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

PackagePlan ReadPackageSection(const Manifest& m, const Sections& sections) {
    if (sections.package == nullptr) {
        throw Error("manifest " + m.path + " has no [package] section");
    }
    const ManifestSection& package = *sections.package;
    PackagePlan plan;
    plan.name = Text(m, package, "name", true);
    plan.version = Text(m, package, "version", true);
    plan.devId = Text(m, package, "devid", true);
    if (plan.devId.empty()) {
        throw Error("manifest " + m.path + ": [package] devid is empty");
    }
    return plan;
}

}  // namespace

PackagePlan ReadManifest(const std::string& path, std::vector<std::string>* warnings) {
    const Manifest m{path, DirectoryOf(path), warnings};
    const std::vector<ManifestSection> list = ListManifest(path);
    const Sections sections = Classify(m, list);
    CheckNumbering(m, sections);
    PackagePlan plan = ReadPackageSection(m, sections);
    for (const auto& item : sections.items) {
        plan.items.push_back(ReadItem(m, *item.second));
    }
    if (plan.items.empty()) {
        throw Error("manifest " + path + ": no items ([item1] is missing)");
    }
    return plan;
}

std::optional<bool> ParseBoolean(const std::string& text) {
    const std::string word = Lower(text);
    if (word == "1" || word == "yes" || word == "true" || word == "on") {
        return true;
    }
    if (word == "0" || word == "no" || word == "false" || word == "off") {
        return false;
    }
    return std::nullopt;
}

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
    const std::string typed = Lower(name);
    std::string nearest;
    std::size_t best = std::string::npos;
    for (const std::string& candidate : known) {
        const std::string word = Lower(candidate);
        const std::size_t shorter = std::min(typed.size(), word.size());
        const bool prefix = shorter >= 3 && typed.compare(0, shorter, word, 0, shorter) == 0;
        const std::size_t distance = EditDistance(typed, word);
        if ((prefix || distance <= std::max<std::size_t>(1, word.size() / 3)) && distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest;
}

}  // namespace qdupk
