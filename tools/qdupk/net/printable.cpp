#include "printable.h"

#include "qd_hex.h"

namespace qdupk {

std::string Printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            shown += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            shown += c;
        } else {
            shown += "\\x" + qd::HexString(&byte, 1);
        }
    }
    return shown;
}

}  // namespace qdupk
