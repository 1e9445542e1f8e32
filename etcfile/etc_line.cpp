// Line grammar: how one line (or one piece of a long line) is classified
// and split into a section name or a key and its value.
#include <cstring>

#include "etc_internal.h"

namespace etcfile {

namespace {

// Where a key ends: its value, or a remark, or the end of the line.
constexpr char kKeyStops[] = "=\n;#";

bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

char* SkipBlanks(char* p) noexcept {
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
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
    TerminateTrimmed(name, name + std::strcspn(name, "]\n;#"));
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

}  // namespace etcfile
