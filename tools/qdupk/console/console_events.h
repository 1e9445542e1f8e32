// A rollout's events on their way to one page: a bounded buffer per event
// stream, progress merged so a slow page never holds the engine up and a
// stream's memory never grows with the rollout.
#ifndef QDUPK_TOOL_CONSOLE_EVENTS_H
#define QDUPK_TOOL_CONSOLE_EVENTS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace qdupk {

constexpr std::size_t kMaxEventStreams = 8;
// Events a stream keeps for a page that reads slowly; beyond that the
// stream forgets them and gives the whole state again.
constexpr std::size_t kStreamBacklog = 256;

struct ConsoleEvent {
    std::uint64_t sequence = 0;  // the SSE id: rises by one per event
    std::string type;            // "state", "camera", "progress", "stopped", "finished"
    std::string data;            // one line of JSON
    // "progress" only: the camera it is about, so a newer one replaces it.
    std::optional<std::size_t> camera;
};

// "id: N\nevent: TYPE\ndata: JSON\n\n"
std::string FormatEvent(const ConsoleEvent& event);

class EventStream {
  public:
    // Called by the engine. Never blocks; a progress event replaces an
    // unsent one of the same camera; a full backlog is dropped and
    // replaced by `state` (the whole state as of now).
    void Push(ConsoleEvent event, const ConsoleEvent& state);
    // The last event: the stream ends once the page has it.
    void Close();

    // Called by the HTTP side: waits up to `wait` for events; false once
    // the stream is closed and empty. `out` gets the waiting events' text.
    bool Take(std::string& out, std::chrono::milliseconds wait);
    // The page went away: the engine stops feeding this stream.
    void Detach();
    bool detached() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ConsoleEvent> pending_;
    bool closed_ = false;
    bool detached_ = false;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_EVENTS_H
