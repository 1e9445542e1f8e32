// Quoting a path for the shell, so a name with spaces or shell characters
// reaches the command as one word and nothing of it is interpreted.
#ifndef SHELL_QUOTE_H
#define SHELL_QUOTE_H

#include <cstddef>

// Writes text into out[size] as one single-quoted shell word; an embedded
// single quote becomes '\''. A relative path gets "./" in front, so the
// shell runs that file rather than searching PATH for its name. False (out
// holds an empty string) when the quoted word does not fit.
bool QuoteCommandPath(const char* text, char* out, std::size_t size) noexcept;

#endif  // SHELL_QUOTE_H
