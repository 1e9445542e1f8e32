#include "console_events.h"

#include <algorithm>
#include <utility>

namespace qdupk {

std::string FormatEvent(const ConsoleEvent& event) {
    return "id: " + std::to_string(event.sequence) + "\nevent: " + event.type +
           "\ndata: " + event.data + "\n\n";
}

void EventStream::Push(ConsoleEvent event, const ConsoleEvent& state) {
    Push(std::move(event), [&state] { return state; });
}

void EventStream::Push(ConsoleEvent event, const StateMaker& state) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || detached_) {
            return;
        }
        if (event.camera) {
            // Only the newest progress of a camera matters; it goes last so
            // the ids a page sees keep rising.
            pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                          [&event](const ConsoleEvent& waiting) {
                                              return waiting.camera == event.camera;
                                          }),
                           pending_.end());
        }
        if (pending_.size() < kStreamBacklog) {
            pending_.push_back(std::move(event));
        } else {
            // The state as of now includes this event; only the end must
            // still come as itself.
            pending_.clear();
            pending_.push_back(state());
            if (event.type == "finished") {
                pending_.push_back(std::move(event));
            }
        }
    }
    ready_.notify_all();
}

void EventStream::Close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool EventStream::Take(std::string& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !pending_.empty() || closed_ || detached_; });
    if (detached_ || (closed_ && pending_.empty())) {
        return false;
    }
    for (const ConsoleEvent& event : pending_) {
        out += FormatEvent(event);
    }
    pending_.clear();
    return true;
}

void EventStream::Detach() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        detached_ = true;
        pending_.clear();
    }
    ready_.notify_all();
}

bool EventStream::detached() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return detached_;
}

bool EventStream::ended() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return detached_ || closed_;
}

void EventHub::Prune() {
    streams_.erase(
        std::remove_if(streams_.begin(), streams_.end(),
                       [](const std::shared_ptr<EventStream>& stream) { return stream->ended(); }),
        streams_.end());
}

std::uint64_t EventHub::Publish(const std::string& type, const std::string& data,
                                std::optional<std::size_t> camera, const StateData& state) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Prune();
    const ConsoleEvent event{++sequence_, type, data, camera};
    std::optional<ConsoleEvent> whole;
    const auto makeState = [&]() -> ConsoleEvent {
        if (!whole) {
            whole = ConsoleEvent{sequence_, "state", state(), std::nullopt};
        }
        return *whole;
    };
    for (const std::shared_ptr<EventStream>& stream : streams_) {
        stream->Push(event, makeState);
    }
    return sequence_;
}

std::shared_ptr<EventStream> EventHub::Open(const std::string& state) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Prune();
    if (streams_.size() >= kMaxEventStreams) {
        return nullptr;
    }
    auto stream = std::make_shared<EventStream>();
    stream->Push({sequence_, "state", state, std::nullopt}, ConsoleEvent{});
    streams_.push_back(stream);
    return stream;
}

void EventHub::CloseAll() {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const std::shared_ptr<EventStream>& stream : streams_) {
        stream->Close();
    }
    streams_.clear();
}

}  // namespace qdupk
