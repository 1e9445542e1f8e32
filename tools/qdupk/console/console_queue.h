// The one way into the console's engine thread: commands handed over under
// a lock, and an eventfd that turns readable while any wait, so the thread
// hears them whether it sleeps in its own poll or in a rollout's.
#ifndef QDUPK_TOOL_CONSOLE_QUEUE_H
#define QDUPK_TOOL_CONSOLE_QUEUE_H

#include <deque>
#include <functional>
#include <mutex>

#include "qd_owners.h"

namespace qdupk {

class CommandQueue {
  public:
    using Command = std::function<void()>;

    // Throws Error when no eventfd can be made.
    CommandQueue();

    // Readable while commands wait; for poll on the engine thread.
    int Descriptor() const { return wake_.get(); }
    // From any thread. False once the queue is closed: the command is
    // dropped and the caller answers for the engine.
    bool Push(Command command);
    // On the engine thread: the waiting commands, in order, and the
    // descriptor quiet again.
    std::deque<Command> Take();
    // No command is taken after this; those still waiting come with the
    // next Take.
    void Close();

  private:
    qd::UniqueFd wake_;
    std::mutex mutex_;
    std::deque<Command> commands_;
    bool closed_ = false;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_QUEUE_H
