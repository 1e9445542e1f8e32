// The anti-rollback counter on the camera: the highest seal counter that
// has been installed, kept in a file of its own as decimal digits and one
// newline.
#ifndef SEAL_COUNTER_H
#define SEAL_COUNTER_H

#include <cstdint>

// The path may be a symbolic link (to a partition that survives upgrades,
// say): it is resolved, and the counter is read from and stored next to
// what it points to, the link left in place.
enum class CounterRead {
    kOk,           // *counter holds the stored value (0 when there is no file)
    kCorrupt,      // the file holds anything but digits and one newline
    kUnreadable,   // the file exists but cannot be read
    kUnreachable,  // a link to nothing, or a directory that does not exist
    kMissing,      // no file (only from ReadExistingSealCounter)
};

// Reads the stored counter. Only a missing file in an existing directory
// is 0; a corrupt, unreadable or unreachable one is never taken for 0: that
// would reopen every older package. Prints nothing.
CounterRead ReadSealCounter(const char* path, std::uint64_t* counter) noexcept;

// The same, except that a missing file is kMissing: the recovery system,
// which may run after the counter's partition was lost, never takes it
// for 0.
CounterRead ReadExistingSealCounter(const char* path, std::uint64_t* counter) noexcept;

// What is wrong, to follow "counter file PATH " in an error line.
const char* CounterReadProblem(CounterRead read) noexcept;

// Replaces the file with `counter` so that a power cut at any moment leaves
// either the old or the new value: written to "<file>.tmp" in the file's
// own directory (a link's target's), synced, renamed over the file, and
// that directory synced. False after an error line: the new value may then
// not survive a power cut, or was not stored at all (an unreachable file).
bool StoreSealCounter(const char* path, std::uint64_t counter) noexcept;

#endif  // SEAL_COUNTER_H
