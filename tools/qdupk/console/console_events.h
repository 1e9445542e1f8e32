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
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    // The same, with the state made only when a full backlog needs it: the
    // whole state of a large rollout costs more than most pushes.
    using StateMaker = std::function<ConsoleEvent()>;
    void Push(ConsoleEvent event, const StateMaker& state);
    // The last event: the stream ends once the page has it.
    void Close();

    // Called by the HTTP side: waits up to `wait` for events; false once
    // the stream is closed and empty. `out` gets the waiting events' text.
    bool Take(std::string& out, std::chrono::milliseconds wait);
    // The page went away: the engine stops feeding this stream.
    void Detach();
    bool detached() const;
    // Closed or detached: the engine has nothing more to give it.
    bool ended() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ConsoleEvent> pending_;
    bool closed_ = false;
    bool detached_ = false;
};

// The open streams of the console and the sequence their events share,
// fed by the engine thread.
class EventHub {
  public:
    // The whole state as JSON, made when some stream needs it.
    using StateData = std::function<std::string()>;

    // Under the next sequence number, which it returns, to every stream
    // still open.
    std::uint64_t Publish(const std::string& type, const std::string& data,
                          std::optional<std::size_t> camera, const StateData& state);
    // A stream that starts with `state` (carrying the latest sequence), or
    // nullptr when kMaxEventStreams are open.
    std::shared_ptr<EventStream> Open(const std::string& state);
    // After the last event: every stream ends once its page has it.
    void CloseAll();

  private:
    void Prune();

    std::mutex mutex_;
    std::vector<std::shared_ptr<EventStream>> streams_;
    std::uint64_t sequence_ = 0;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_EVENTS_H
