// The optional receive thread: one per process, watching up to ten handles
// and handing readable descriptors to each handle's read callback.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "libuartcom.h"
#include "qd_log.h"
#include "uartdef.h"

using uartcom_detail::ReadCallback;
using uartcom_detail::ValidHandle;

namespace {

constexpr int kDrainChunk = 128;
constexpr int kWaitMs = 1000;
// A hung-up line stays readable for ever; it is left out of the wait this
// long before it is looked at again, so a dead line costs one read a second
// instead of a whole processor.
constexpr std::int64_t kHangupRestMs = 1000;

// Start and stop serialise on s_taskLock; the receive thread never takes
// it, so a stop may join the thread while holding it. The read callback and
// its context change together under s_readFbLock, which is never held while
// a callback runs (a callback may register another). Neither is the
// handle's own mutex: callers may hold that one while calling us.
pthread_mutex_t s_taskLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t s_readFbLock = PTHREAD_MUTEX_INITIALIZER;

// Set under s_taskLock; read by the receive thread at the top of every pass.
std::atomic<int> s_uartthreadrun{0};
// Both guarded by s_taskLock; the thread gets its own copy of the wake
// descriptor, which stays open until the thread has been joined.
pthread_t s_htuartthread_id = 0;
int s_wakeFd = -1;

// Start and stop called from a read callback must not wait for the thread
// they run on.
thread_local bool t_onRecvThread = false;

class LockGuard {
  public:
    explicit LockGuard(pthread_mutex_t* mutex) noexcept : mutex_(mutex) {
        pthread_mutex_lock(mutex_);
    }
    ~LockGuard() { pthread_mutex_unlock(mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

struct LineWatch {
    std::int64_t restUntilMs;  // not waited on before this time
    bool hangupReported;       // the current hang-up has been handed on
};

// One block that the thread owns and frees when it ends.
struct RecvTask {
    HUARTLIST_T list;
    LineWatch watch[UART_LIST_MAX];
    int wakeFd;  // -1 when none could be made: a stop then waits out a pass
};

struct PollSet {
    struct pollfd fds[UART_LIST_MAX + 1];
    int line[UART_LIST_MAX + 1];  // list index of each entry; -1 for the wake
    nfds_t count;
    int timeoutMs;
};

std::int64_t MonotonicMs() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void AddToPollSet(PollSet* set, int fd, int line) noexcept {
    set->fds[set->count] = {fd, POLLIN, 0};
    set->line[set->count] = line;
    set->count++;
}

// The wake descriptor first, then the lines not resting, in list order.
void BuildPollSet(const RecvTask* task, std::int64_t now, PollSet* set) noexcept {
    set->count = 0;
    set->timeoutMs = kWaitMs;
    AddToPollSet(set, task->wakeFd, -1);
    for (int i = 0; i < task->list.nums; ++i) {
        const std::int64_t restUntil = task->watch[i].restUntilMs;
        if (restUntil > now) {
            if (restUntil - now < set->timeoutMs) {
                set->timeoutMs = static_cast<int>(restUntil - now);
            }
            continue;
        }
        AddToPollSet(set, task->list.pUart[i]->m_fd, i);
    }
}

int PendingBytes(int fd) noexcept {
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

// The callback reads for itself, so the end of the line shows only in the
// wait's result: hung up with nothing left to read. The callback still
// meets that end once, through its own read.
bool ServeCallback(int fd, short revents, const ReadCallback& cb, const LineWatch& watch) noexcept {
    const bool ended = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && PendingBytes(fd) <= 0;
    if (!ended || !watch.hangupReported) {
        cb.fn(fd, cb.context);
    }
    return ended;
}

// Nothing read (end of file) or a lasting failure means the far end hung
// up; that is traced once per hang-up, not once per look.
bool DrainLine(int fd, const LineWatch& watch) noexcept {
    unsigned char scratch[kDrainChunk];
    const ssize_t got = read(fd, scratch, sizeof scratch);
    const int err = errno;
    const bool ended = got == 0 || (got < 0 && err != EAGAIN && err != EINTR);
    if (!ended || !watch.hangupReported) {
        QD_LOG_TRACE("iread=%d\n", static_cast<int>(got));
    }
    return ended;
}

void ServeLine(RecvTask* task, int line, short revents, std::int64_t now) noexcept {
    const HUART_T* pHUart = task->list.pUart[line];
    LineWatch* watch = &task->watch[line];
    const ReadCallback cb = uartcom_detail::LoadReadCallback(pHUart);
    const bool ended = cb.fn != nullptr ? ServeCallback(pHUart->m_fd, revents, cb, *watch)
                                        : DrainLine(pHUart->m_fd, *watch);
    watch->hangupReported = ended;
    if (ended) {
        watch->restUntilMs = now + kHangupRestMs;
    }
}

void RunPass(RecvTask* task) noexcept {
    PollSet set;
    BuildPollSet(task, MonotonicMs(), &set);
    // A failed wait counts as a time-out, as it always has.
    if (poll(set.fds, set.count, set.timeoutMs) <= 0) {
        return;
    }
    if (set.fds[0].revents != 0) {
        std::uint64_t count = 0;
        (void)read(task->wakeFd, &count, sizeof count);
    }
    const std::int64_t now = MonotonicMs();
    for (nfds_t k = 1; k < set.count && s_uartthreadrun.load() != 0; ++k) {
        if (set.fds[k].revents != 0) {
            ServeLine(task, set.line[k], set.fds[k].revents, now);
        }
    }
}

void* uart_recvthread(void* arg) noexcept {
    auto* task = static_cast<RecvTask*>(arg);
    t_onRecvThread = true;
    QD_LOG_TRACE("uart recv thread start\n");
    while (s_uartthreadrun.load() != 0) {
        RunPass(task);
    }
    std::free(task);
    QD_LOG_TRACE("uart recv thread exit\n");
    return nullptr;
}

// Every entry is tested before the count, and the first bad one is named.
int CheckHandles(HUARTCOM* phandellist, int numbers) noexcept {
    for (int i = 0; i < numbers; ++i) {
        if (ValidHandle(phandellist[i]) == nullptr) {
            QD_LOG_ERR("index[%d] invalid uart handle\n", i);
            return -1;
        }
    }
    return 0;
}

RecvTask* NewTask(HUARTCOM* phandellist, int numbers) noexcept {
    auto* task = static_cast<RecvTask*>(std::calloc(1, sizeof(RecvTask)));
    if (task == nullptr) {
        return nullptr;
    }
    task->list.nums = numbers;
    for (int i = 0; i < numbers; ++i) {
        task->list.pUart[i] = static_cast<HUART_T*>(phandellist[i]);
    }
    task->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return task;
}

// Caller holds s_taskLock. Ends a thread whose run flag is already clear.
void JoinThreadLocked() noexcept {
    if (s_htuartthread_id == 0) {
        return;
    }
    if (s_wakeFd >= 0) {
        const std::uint64_t one = 1;
        (void)write(s_wakeFd, &one, sizeof one);
    }
    pthread_join(s_htuartthread_id, nullptr);
    s_htuartthread_id = 0;
    if (s_wakeFd >= 0) {
        close(s_wakeFd);
        s_wakeFd = -1;
    }
}

// Caller holds s_taskLock.
int LaunchThreadLocked(RecvTask* task) noexcept {
    s_wakeFd = task->wakeFd;
    s_uartthreadrun.store(1);
    const int err = pthread_create(&s_htuartthread_id, nullptr, uart_recvthread, task);
    if (err != 0) {
        // No thread stands behind the flag: clear it and keep the task ours.
        s_uartthreadrun.store(0);
        s_htuartthread_id = 0;
        if (s_wakeFd >= 0) {
            close(s_wakeFd);
            s_wakeFd = -1;
        }
        std::free(task);
        QD_LOG_ERR("create uart recv thread failed: %d\n", err);
        return -3;
    }
    return 0;
}

}  // namespace

namespace uartcom_detail {

void StoreReadCallback(HUART_T* pHUart, UARTCOM_READFB fn, void* context) noexcept {
    LockGuard guard(&s_readFbLock);
    pHUart->fdReadDataFd = fn;
    pHUart->pContextReadData = context;
}

ReadCallback LoadReadCallback(const HUART_T* pHUart) noexcept {
    LockGuard guard(&s_readFbLock);
    return ReadCallback{pHUart->fdReadDataFd, pHUart->pContextReadData};
}

}  // namespace uartcom_detail

extern "C" {

int uartcom_startrecvtsk(HUARTCOM* phandellist, int numbers) noexcept {
    if (t_onRecvThread) {
        QD_LOG_ERR("uart recv thread started\n");
        return 0;
    }
    LockGuard guard(&s_taskLock);
    if (s_uartthreadrun.load() != 0) {
        QD_LOG_ERR("uart recv thread started\n");
        return 0;
    }
    // A thread stopped from its own callback could not wait for itself.
    JoinThreadLocked();
    if (phandellist == nullptr || CheckHandles(phandellist, numbers) != 0) {
        return -1;
    }
    if (numbers <= 0 || numbers > UART_LIST_MAX) {
        return -1;
    }
    RecvTask* task = NewTask(phandellist, numbers);
    if (task == nullptr) {
        QD_LOG_ERR("malloc buffer failed!\n");
        return -2;
    }
    return LaunchThreadLocked(task);
}

int uartcom_stoprecvtsk(void) noexcept {
    if (t_onRecvThread) {
        // The thread ends when the callback returns; the next start or stop
        // joins it.
        s_uartthreadrun.store(0);
        return 0;
    }
    LockGuard guard(&s_taskLock);
    s_uartthreadrun.store(0);
    JoinThreadLocked();
    return 0;
}

}  // extern "C"
