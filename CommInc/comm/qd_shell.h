// External work is done through the shell; exit statuses are the caller's
// business (most callers ignore them by design).
#ifndef QD_SHELL_H
#define QD_SHELL_H

#include <cstdio>
#include <cstdlib>

namespace qd {

// Runs one command line to completion. Standard output is flushed first so
// the command's own output lands after every line printed before it.
inline int RunCommand(const char* commandLine) noexcept {
    (void)std::fflush(stdout);
    return std::system(commandLine);
}

}  // namespace qd

#endif  // QD_SHELL_H
