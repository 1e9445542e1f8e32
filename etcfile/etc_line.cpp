// Line grammar: how one line (or one piece of a long line) is classified
// and split into a section name or a key and its value.
#include <cstring>

#include "etc_internal.h"

namespace etcfile {

namespace {

// Where a key ends: its value, or a remark, or the end of the line.
constexpr char kKeyStops[] = "=\n;#";
// Where a section's name ends: the closing bracket, a remark, the line's end.
constexpr char kSectionStops[] = "]\n;#";

bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

char* SkipBlanks(char* p) noexcept {
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
}

bool HasBlankEnd(const char* text) noexcept {
    const std::size_t len = std::strlen(text);
    return len > 0 && (IsBlank(text[0]) || IsBlank(text[len - 1]));
}

// Whether text holds none of stops, nor a carriage return: a read ends a
// line only at a newline, but editors and other readers end it at either.
bool HoldsNone(const char* text, const char* stops) noexcept {
    return text[std::strcspn(text, stops)] == '\0' && std::strchr(text, '\r') == nullptr;
}

// Cuts blanks and tabs off the end of [begin, end); never before begin.
void TerminateTrimmed(char* begin, char* end) noexcept {
    while (end > begin && IsBlank(end[-1])) {
        --end;
    }
    *end = '\0';
}

}  // namespace

std::size_t etc_ReadPiece(std::FILE* fp, char* buf, std::size_t size) noexcept {
    std::size_t len = 0;
    if (size == 0 || std::ferror(fp) != 0) {
        return 0;
    }
    while (len + 1 < size) {
        const int c = getc_unlocked(fp);
        if (c == EOF) {
            break;
        }
        buf[len++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    buf[len] = '\0';
    return len;
}

char* get_section_name(char* section_line) noexcept {
    if (section_line == nullptr) {
        return nullptr;
    }
    char* p = SkipBlanks(section_line);
    if (*p != '[') {
        return nullptr;
    }
    char* name = SkipBlanks(p + 1);
    // The closing bracket is optional; a remark may follow the name.
    TerminateTrimmed(name, name + std::strcspn(name, kSectionStops));
    return name;
}

int get_key_value(char* key_line, char** mykey, char** myvalue) noexcept {
    if (key_line == nullptr) {
        return -1;
    }
    char* key = SkipBlanks(key_line);
    switch (*key) {
        case ';':
        case '#':
        case '\n':
        case '\0':
            return -1;
        case '[':
            return 1;
        default:
            break;
    }
    char* keyEnd = key + std::strcspn(key, kKeyStops);
    // Values have no remarks: after '=' the whole rest of the line counts.
    char* value = keyEnd;
    if (*keyEnd == '=') {
        value = keyEnd + 1;
        value[std::strcspn(value, "\n")] = '\0';
    }
    *keyEnd = '\0';
    TerminateTrimmed(key, keyEnd);
    if (mykey != nullptr) {
        *mykey = key;
    }
    if (myvalue != nullptr) {
        *myvalue = value;
    }
    return 0;
}

bool has_key_separator(const char* key_line) noexcept {
    return key_line != nullptr && key_line[std::strcspn(key_line, kKeyStops)] == '=';
}

// A read cuts blanks off a name's ends and ends it at its first stop; a
// name that holds either would come back as another one.
bool etc_SavableSection(const char* section) noexcept {
    return HoldsNone(section, kSectionStops) && !HasBlankEnd(section);
}

// A key that is empty is dropped by the next save of its section; one
// starting with '[' reads as a header.
bool etc_SavableKey(const char* key) noexcept {
    return *key != '\0' && *key != '[' && HoldsNone(key, kKeyStops) && !HasBlankEnd(key);
}

bool etc_SavableValue(const char* value) noexcept {
    return HoldsNone(value, "\n");
}

}  // namespace etcfile
