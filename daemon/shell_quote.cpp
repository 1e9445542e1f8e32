// Single quotes keep every character literal except the quote itself, which
// is closed, escaped and reopened.
#include "shell_quote.h"

#include <cstring>

namespace {

constexpr char kEscapedQuote[] = "'\\''";

class Appender {
  public:
    Appender(char* out, std::size_t size) noexcept : out_(out), size_(size) {}

    bool Append(const char* text, std::size_t len) noexcept {
        if (len >= size_ - used_) {  // keep room for the terminator
            return false;
        }
        std::memcpy(out_ + used_, text, len);
        used_ += len;
        out_[used_] = '\0';
        return true;
    }

  private:
    char* out_;
    std::size_t size_;
    std::size_t used_ = 0;
};

}  // namespace

bool QuoteCommandPath(const char* text, char* out, std::size_t size) noexcept {
    if (size == 0) {
        return false;
    }
    out[0] = '\0';
    Appender word(out, size);
    bool fits = word.Append("'", 1);
    if (fits && text[0] != '/') {
        fits = word.Append("./", 2);
    }
    for (const char* p = text; fits && *p != '\0'; ++p) {
        fits =
            *p == '\'' ? word.Append(kEscapedQuote, sizeof kEscapedQuote - 1) : word.Append(p, 1);
    }
    if (fits && word.Append("'", 1)) {
        return true;
    }
    out[0] = '\0';
    return false;
}
