// The power-cut layer's record of what reached the (simulated) flash: for
// every file of the tracked directory, a copy of its durable contents and
// the last write since its last flush (the block in flight). A state
// directory holds both, beside the event counter that all processes of a
// camera share:
//
//   STATE/counter        the number of tracked writes so far (8 bytes)
//   STATE/events         one line per tracked write or flush
//   STATE/cut            written once a cut point is reached
//   STATE/durable/NAME   what NAME holds after its last flush
//   STATE/inflight/NAME  the write since then: offset, length, data
//
// Every function is safe in any process: no exceptions, no stdio, and
// writes that go straight to the kernel, so that the layer never records
// itself.
#ifndef QD_POWERCUT_STORE_H
#define QD_POWERCUT_STORE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qdpc {

struct Layout {
    std::string tracked;  // directory whose files are flash (no trailing /)
    std::string state;    // where the layer keeps its records
};

// The name of the tracked file `path` names, or empty when it is not one
// (only files directly in the tracked directory are flash).
std::string TrackedName(const Layout& layout, const std::string& path);

// The write in flight, recorded before it is made.
bool RecordInFlight(const Layout& layout, const std::string& name, std::uint64_t offset,
                    const void* data, std::size_t size) noexcept;
// A flush: the file's current contents become durable.
bool MakeDurable(const Layout& layout, const std::string& name) noexcept;
// sync(2): every file with a write in flight becomes durable.
bool MakeAllDurable(const Layout& layout) noexcept;
// Every file of the tracked directory durable as it is now, records reset.
bool Snapshot(const Layout& layout) noexcept;
// The power cut: each file back to its durable contents, with the first
// half of its block in flight written over them. The result is durable.
bool RollBack(const Layout& layout) noexcept;

// Counter and event log, under an exclusive lock on the counter file that
// the caller holds between Lock and Unlock.
int LockCounter(const Layout& layout) noexcept;
void UnlockCounter(int fd) noexcept;
// Increments the counter and returns the new value (0 on error).
std::uint64_t NextEvent(int counterFd) noexcept;
bool LogEvent(const Layout& layout, const std::string& line) noexcept;
bool WriteCutMark(const Layout& layout, const std::string& line) noexcept;
// Counter 0, no events, no cut mark.
bool ResetEvents(const Layout& layout) noexcept;

// Writes straight to the kernel (never through an interposed function).
ssize_t RawPwrite(int fd, const void* data, std::size_t size, off_t offset) noexcept;
bool RawPwriteAll(int fd, const void* data, std::size_t size, off_t offset) noexcept;

}  // namespace qdpc

#endif  // QD_POWERCUT_STORE_H
