// The anti-rollback counter on the camera: the highest seal counter that
// has been installed, kept in a file of its own as decimal digits and one
// newline.
#ifndef SEAL_COUNTER_H
#define SEAL_COUNTER_H

#include <cstdint>

enum class CounterRead {
    kOk,          // *counter holds the stored value (0 when there is no file)
    kCorrupt,     // the file holds anything but digits and one newline
    kUnreadable,  // the file exists but cannot be read
};

// Reads the stored counter. A corrupt or unreadable file is never taken for
// 0: that would reopen every older package. Prints nothing.
CounterRead ReadSealCounter(const char* path, std::uint64_t* counter) noexcept;

// Replaces the file with `counter` so that a power cut at any moment leaves
// either the old or the new value: written to "<path>.tmp" in the same
// directory, synced, renamed over the file, and the directory synced. False
// after an error line: the new value may then not survive a power cut.
bool StoreSealCounter(const char* path, std::uint64_t counter) noexcept;

#endif  // SEAL_COUNTER_H
