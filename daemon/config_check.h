// "qdboot --check": what is wrong with a configuration, told before a
// camera is started with it.
#ifndef CONFIG_CHECK_H
#define CONFIG_CHECK_H

#include <cstdio>

// Reads the configuration at `path` with start-up's own loaders and prints
// each problem on `out`, one a line: "SECTION: message", or "PATH: message"
// for the file as a whole; a line saying so when there is none. Opens no
// socket, runs no command and writes nothing but `out`. 0 when the file
// has no problem, 1 otherwise.
int CheckConfiguration(const char* path, std::FILE* out) noexcept;

#endif  // CONFIG_CHECK_H
