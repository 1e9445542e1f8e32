// Texts read from a package, made safe to show on a terminal.
#ifndef QDUPK_TOOL_PRINTABLE_H
#define QDUPK_TOOL_PRINTABLE_H

#include <string>

namespace qdupk {

// Whoever built a package chose its texts: shown raw, an escape sequence or
// a line break in a name or destination could rewrite what the terminal
// shows, and a hostile package could hide where its items go. Every byte
// outside printable ASCII becomes \xHH and a backslash \\, so each shown
// text maps back to exactly one stored text.
std::string Printable(const std::string& text);

}  // namespace qdupk

#endif  // QDUPK_TOOL_PRINTABLE_H
