// The INI library on arbitrary file content, sections, keys and values:
// a read, an integer read, a save, a read of what was saved and a second
// save that must change nothing. A save of texts that would read back as
// something else or start a line of their own (a line break, a character
// that ends a name or key, blanks a read cuts off), or of a line too long
// to read back whole, is refused and leaves the file as it was, byte for
// byte. Any other save succeeds: the value reads back as saved (less the
// one trailing blank a read takes off), every other entry reads as before,
// long lines in the file or not, and a section header is added only for a
// section the file lacked.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "etc_lines.h"
#include "etcfile.h"
#include "sandbox.h"
#include "scratch.h"

namespace {

constexpr char kIniName[] = "fuzz.ini";
constexpr char kUntouched = 0x5A;
// Lines of up to this many characters are read whole; saves refuse longer.
constexpr std::size_t kLongestWholeLine = 1023;

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;

struct Case {
    std::string section;
    bool useSection;
    std::string key;
    std::string value;
    int iLen;
    bool fileExists;
    std::string content;
};

// Texts are C strings to the library: cut at the first NUL.
std::string AsCText(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

Case ReadCase(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Case c;
    c.useSection = in.ConsumeBool();
    c.fileExists = in.ConsumeBool();
    c.iLen = in.ConsumeIntegralInRange<int>(1, 1100);
    c.section = AsCText(in.ConsumeRandomLengthString(64));
    c.key = AsCText(in.ConsumeRandomLengthString(64));
    c.value = AsCText(in.ConsumeRandomLengthString(1100));
    c.content = in.ConsumeRemainingBytesAsString();
    return c;
}

const char* SectionOf(const Case& c) {
    return c.useSection ? c.section.c_str() : nullptr;
}

bool HasBlankEnds(const std::string& text) {
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
    return !text.empty() && (blank(text.front()) || blank(text.back()));
}

bool HasAny(const std::string& text, const char* chars) {
    return text.find_first_of(chars) != std::string::npos;
}

// The texts a save must take: no line break anywhere; no character that
// ends a section's name or a key on reading, no key that reads as a header
// or a remark, no blanks at the ends of either, no empty key.
bool Savable(const Case& c) {
    const bool keyOk =
        !c.key.empty() && c.key[0] != '[' && !HasAny(c.key, "=;#\r\n") && !HasBlankEnds(c.key);
    const bool sectionOk =
        !c.useSection || (!HasAny(c.section, "];#\r\n") && !HasBlankEnds(c.section));
    return keyOk && sectionOk && !HasAny(c.value, "\r\n");
}

// A value as a read gives it back: one trailing blank, tab or backspace off.
std::string AsRead(std::string value) {
    if (!value.empty() && std::strchr("\t\b ", value.back()) != nullptr) {
        value.pop_back();
    }
    return value;
}

bool SaveFits(const Case& c) {
    return c.key.size() + 1 + c.value.size() <= kLongestWholeLine &&
           (!c.useSection || c.section.size() + 2 <= kLongestWholeLine);
}

void CheckRead(const Case& c) {
    std::vector<char> value(static_cast<std::size_t>(c.iLen) + 1, kUntouched);
    const int rc = EtcGetValueFile(kIniName, SectionOf(c), c.key.c_str(), value.data(), c.iLen);
    if (rc == 0) {
        if (std::memchr(value.data(), '\0', value.size()) == nullptr) {
            qdfuzz::Fail("value not terminated within iLen + 1 bytes", c.key);
        }
    } else if (value[0] != kUntouched || (rc != -1 && rc != -2 && rc != -3) ||
               (!c.fileExists && rc != -1)) {
        qdfuzz::Fail("failed read changed the value or gave an odd code", std::to_string(rc));
    }
    int number = 0x5A5A;
    if (EtcGetIntValueFile(kIniName, SectionOf(c), c.key.c_str(), &number) != 0 &&
        number != 0x5A5A) {
        qdfuzz::Fail("failed integer read changed the value", c.key);
    }
}

// What a walk over the file says a lookup of the case's key must give: the
// key's first line in the first header of its section (or above every
// header), as "rc:value" with the lookup's cut and trim.
struct WalkLookup {
    const Case* c;
    bool inSection;  // among the lines the lookup searches
    std::string result;
};

bool VisitForLookup(void* context, const etcfile::EtcLine& line) {
    auto& w = *static_cast<WalkLookup*>(context);
    if (line.kind == etcfile::EtcLineKind::kSection) {
        if (w.inSection) {
            return false;  // the lookup never looks past its section's end
        }
        if (w.c->useSection && w.c->section == line.name) {
            w.inSection = true;
            w.result = "-3:";
        }
        return true;
    }
    if (w.inSection && w.c->key == line.name) {
        std::string value = std::string(line.value).substr(0, 1100);
        if (!value.empty() && std::strchr("\r\n\t\b ", value.back()) != nullptr) {
            value.pop_back();
        }
        w.result = "0:" + value;
        return false;
    }
    return true;
}

// The manifest reader sees a file through the walk; it must see the lines
// the lookups see.
void CheckWalkAgrees(const Case& c) {
    WalkLookup walk{&c, !c.useSection, c.useSection ? "-2:" : "-3:"};
    if (etcfile::etc_ForEachLine(kIniName, VisitForLookup, &walk) != 0) {
        return;  // no file, or unreadable: the read check covers those
    }
    std::vector<char> value(1101, '\0');
    const int rc = EtcGetValueFile(kIniName, SectionOf(c), c.key.c_str(), value.data(), 1100);
    if (walk.result != std::to_string(rc) + ":" + value.data()) {
        qdfuzz::Fail("the line walk and the lookup disagree", walk.result);
    }
}

// A section and key that may be in the file (a loose reading of its lines:
// what is no entry reads as missing both before and after a save).
struct Entry {
    bool inSection;
    std::string section;
    std::string key;
};

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::vector<Entry> Entries(const std::string& content) {
    constexpr std::size_t kMostEntries = 24;
    std::vector<Entry> entries;
    Entry at{false, "", ""};
    std::size_t begin = 0;
    while (begin < content.size() && entries.size() < kMostEntries) {
        const std::size_t end = std::min(content.find('\n', begin), content.size());
        const std::string line = AsCText(content.substr(begin, end - begin));
        const std::string head = Trimmed(line);
        if (!head.empty() && head[0] == '[') {
            at.inSection = true;
            at.section = Trimmed(head.substr(1, head.find_first_of("];#", 1) - 1));
        } else if (!head.empty()) {
            at.key = Trimmed(line.substr(0, line.find_first_of("=;#")));
            entries.push_back(at);
        }
        begin = end + 1;
    }
    return entries;
}

std::string ReadEntry(const Entry& e) {
    std::vector<char> value(1101, '\0');
    const int rc = EtcGetValueFile(kIniName, e.inSection ? e.section.c_str() : nullptr,
                                   e.key.c_str(), value.data(), 1100);
    return std::to_string(rc) + ":" + value.data();
}

bool IsSavedEntry(const Case& c, const Entry& e) {
    return e.key == c.key && e.inSection == c.useSection &&
           (!e.inSection || e.section == c.section);
}

void CheckSavedValue(const Case& c) {
    std::vector<char> value(c.value.size() + 2, kUntouched);
    const int rc = EtcGetValueFile(kIniName, SectionOf(c), c.key.c_str(), value.data(),
                                   static_cast<int>(c.value.size() + 1));
    if (rc != 0 || AsRead(c.value) != value.data()) {
        qdfuzz::Fail("saved value does not read back", c.key + "=" + c.value);
    }
}

bool VisitSection(void* context, const etcfile::EtcLine& line) {
    if (line.kind == etcfile::EtcLineKind::kSection) {
        static_cast<std::vector<std::string>*>(context)->push_back(line.name);
    }
    return true;
}

// The file's section headers in order, as reads see them.
std::vector<std::string> Sections() {
    std::vector<std::string> names;
    static_cast<void>(etcfile::etc_ForEachLine(kIniName, VisitSection, &names));
    return names;
}

// A save appends a header only for a section the file lacked; otherwise
// the headers stay as they were (a value that smuggled one in would show).
void CheckSections(const Case& c, std::vector<std::string> expected) {
    if (c.useSection && std::find(expected.begin(), expected.end(), c.section) == expected.end()) {
        expected.push_back(c.section);
    }
    if (Sections() != expected) {
        qdfuzz::Fail("save added or changed a section header", c.section);
    }
}

std::string FileText() {
    std::string text;
    if (std::FILE* fp = std::fopen(kIniName, "rb")) {
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, fp)) > 0) {
            text.append(chunk, n);
        }
        static_cast<void>(std::fclose(fp));
    }
    return text;
}

void CheckNoScratchLeft() {
    for (const auto& entry : std::filesystem::directory_iterator(g_scratch->dir())) {
        const std::string name = entry.path().filename().string();
        if (name != kIniName) {
            qdfuzz::Fail("file left in the working directory", name);
        }
    }
}

void RunCase(const Case& c) {
    if (c.fileExists) {
        qdfuzz::WriteWholeFile(g_scratch->file(kIniName),
                               reinterpret_cast<const std::uint8_t*>(c.content.data()),
                               c.content.size());
    }
    const qdfuzz::InDirectory inScratch(g_scratch->dir());
    const qdfuzz::Confinement fence(g_policy);
    CheckRead(c);
    CheckWalkAgrees(c);
    std::vector<Entry> others = Entries(c.fileExists ? c.content : std::string());
    std::vector<std::string> before;
    before.reserve(others.size());
    for (const Entry& e : others) {
        before.push_back(ReadEntry(e));
    }
    const bool existed = ::access(kIniName, F_OK) == 0;
    const std::string original = FileText();
    const std::vector<std::string> sections = Sections();
    const int rc = EtcSaveValueFile(kIniName, SectionOf(c), c.key.c_str(), c.value.c_str());
    CheckNoScratchLeft();
    if (!Savable(c) || !SaveFits(c)) {
        if (rc != -5 || FileText() != original || (::access(kIniName, F_OK) == 0) != existed) {
            qdfuzz::Fail("a save that must be refused was not, or changed the file",
                         std::to_string(rc));
        }
        return;
    }
    if (rc != 0) {
        qdfuzz::Fail("save failed in a writable directory", std::to_string(rc));
    }
    CheckSavedValue(c);
    CheckSections(c, sections);
    // Every other entry reads as before (empty keys above the saved one are
    // dropped by design).
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (!IsSavedEntry(c, others[i]) && !others[i].key.empty() &&
            ReadEntry(others[i]) != before[i]) {
            qdfuzz::Fail("save changed another entry", others[i].section + "/" + others[i].key);
        }
    }
    const std::string once = FileText();
    if (EtcSaveValueFile(kIniName, SectionOf(c), c.key.c_str(), c.value.c_str()) != 0 ||
        FileText() != once) {
        qdfuzz::Fail("saving the same value again changed the file", c.key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    g_scratch = new qdfuzz::Scratch("etcfile");
    g_policy.scratchDir = g_scratch->dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RunCase(ReadCase(data, size));
    g_scratch->Wipe();
    return 0;
}
