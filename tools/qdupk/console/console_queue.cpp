#include "console_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "errors.h"

namespace qdupk {

CommandQueue::CommandQueue() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_.valid()) {
        throw Error(std::string("cannot make the console's wake-up descriptor: ") +
                    std::strerror(errno));
    }
}

bool CommandQueue::Push(Command command) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        commands_.push_back(std::move(command));
    }
    const std::uint64_t one = 1;
    // A full counter (never in practice) is still readable: nothing lost.
    (void)!write(wake_.get(), &one, sizeof one);
    return true;
}

std::deque<CommandQueue::Command> CommandQueue::Take() {
    std::uint64_t count = 0;
    // Read before taking: a push after this read makes it readable again.
    (void)!read(wake_.get(), &count, sizeof count);
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(commands_, {});
}

void CommandQueue::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

}  // namespace qdupk
