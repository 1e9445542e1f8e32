// Bytes as hexadecimal text and back: key settings, key files, key ids,
// digests and escapes all read and print hex through these, so every
// place agrees on the digits and on what it refuses.
#ifndef QD_HEX_H
#define QD_HEX_H

#include <array>
#include <cstddef>
#include <string>

namespace qd {

namespace hex_detail {

constexpr char kDigits[] = "0123456789abcdef";

constexpr int DigitValue(char c) noexcept {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

}  // namespace hex_detail

// Reads exactly 2 * size hex digits of either case from text[0..length)
// into out[size]. False, with out untouched, for any other length or any
// character that is not a digit (a sign, a blank, a "0x", a terminator).
[[nodiscard]] inline bool ParseHex(const char* text, std::size_t length, unsigned char* out,
                                   std::size_t size) noexcept {
    if (length != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (hex_detail::DigitValue(text[i]) < 0) {
            return false;
        }
    }
    for (std::size_t i = 0; i < size; ++i) {
        const auto high = static_cast<unsigned>(hex_detail::DigitValue(text[2 * i]));
        const auto low = static_cast<unsigned>(hex_detail::DigitValue(text[2 * i + 1]));
        out[i] = static_cast<unsigned char>(high << 4U | low);
    }
    return true;
}

// Writes bytes[size] as 2 * size lower-case digits and a terminator into
// text[textSize]. False, with text left empty (when it has room for that),
// when they do not fit whole.
inline bool FormatHex(const unsigned char* bytes, std::size_t size, char* text,
                      std::size_t textSize) noexcept {
    if (textSize < 2 * size + 1) {
        if (textSize > 0) {
            text[0] = '\0';
        }
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = hex_detail::kDigits[bytes[i] >> 4U];
        text[2 * i + 1] = hex_detail::kDigits[bytes[i] & 0x0FU];
    }
    text[2 * size] = '\0';
    return true;
}

template <std::size_t N>
bool FormatHex(const unsigned char* bytes, std::size_t size, char (&text)[N]) noexcept {
    return FormatHex(bytes, size, text, N);
}

// For host tools, which print into strings.
inline std::string HexString(const unsigned char* bytes, std::size_t size) {
    std::string text(2 * size + 1, '\0');
    static_cast<void>(FormatHex(bytes, size, &text[0], text.size()));
    text.pop_back();
    return text;
}

template <std::size_t N>
std::string HexString(const std::array<unsigned char, N>& bytes) {
    return HexString(bytes.data(), N);
}

}  // namespace qd

#endif  // QD_HEX_H
