// The optional receive thread: one per process, watching up to ten handles
// and handing readable descriptors to each handle's read callback.
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "libuartcom.h"
#include "qd_log.h"
#include "uartdef.h"

using uartcom_detail::ValidHandle;

namespace {

constexpr int kDrainChunk = 128;

// Written by start and stop on the caller's thread, read by the receive
// thread at the top of every pass: it must be fetched from memory each time.
std::atomic<int> s_uartthreadrun{0};
pthread_t s_htuartthread_id = 0;

// Descriptors beyond FD_SETSIZE cannot be watched with select() and are
// left out rather than overrunning the set.
int FillReadSet(const HUARTLIST_T* pList, fd_set* fds) noexcept {
    FD_ZERO(fds);
    int maxFd = -1;
    for (int i = 0; i < pList->nums; ++i) {
        const int fd = pList->pUart[i]->m_fd;
        if (fd < 0 || fd >= FD_SETSIZE) {
            continue;
        }
        FD_SET(fd, fds);
        if (fd > maxFd) {
            maxFd = fd;
        }
    }
    return maxFd;
}

void ServeReadable(const HUARTLIST_T* pList, fd_set* fds) noexcept {
    for (int i = 0; i < pList->nums; ++i) {
        const HUART_T* pHUart = pList->pUart[i];
        const int fd = pHUart->m_fd;
        if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, fds)) {
            continue;
        }
        if (pHUart->fdReadDataFd != nullptr) {
            pHUart->fdReadDataFd(fd, pHUart->pContextReadData);
        } else {
            unsigned char scratch[kDrainChunk];
            const ssize_t got = read(fd, scratch, sizeof scratch);
            QD_LOG_TRACE("iread=%d\n", static_cast<int>(got));
        }
    }
}

void* uart_recvthread(void* arg) noexcept {
    auto* pList = static_cast<HUARTLIST_T*>(arg);
    QD_LOG_TRACE("uart recv thread start\n");
    while (s_uartthreadrun.load() != 0) {
        fd_set fds;
        const int maxFd = FillReadSet(pList, &fds);
        struct timeval tv = {1, 0};
        if (select(maxFd + 1, &fds, nullptr, nullptr, &tv) <= 0) {
            continue;
        }
        ServeReadable(pList, &fds);
    }
    std::free(pList);
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

}  // namespace

extern "C" {

int uartcom_startrecvtsk(HUARTCOM* phandellist, int numbers) noexcept {
    if (s_uartthreadrun.load() != 0) {
        QD_LOG_ERR("uart recv thread started\n");
        return 0;
    }
    if (phandellist == nullptr || CheckHandles(phandellist, numbers) != 0) {
        return -1;
    }
    if (numbers <= 0 || numbers > UART_LIST_MAX) {
        return -1;
    }
    auto* pList = static_cast<HUARTLIST_T*>(std::calloc(1, sizeof(HUARTLIST_T)));
    if (pList == nullptr) {
        QD_LOG_ERR("malloc buffer failed!\n");
        return -2;
    }
    pList->nums = numbers;
    for (int i = 0; i < numbers; ++i) {
        pList->pUart[i] = static_cast<HUART_T*>(phandellist[i]);
    }
    s_uartthreadrun.store(1);
    const int err = pthread_create(&s_htuartthread_id, nullptr, uart_recvthread, pList);
    if (err != 0) {
        // No thread stands behind the flag: clear it and keep the list ours.
        s_uartthreadrun.store(0);
        s_htuartthread_id = 0;
        std::free(pList);
        QD_LOG_ERR("create uart recv thread failed: %d\n", err);
        return -3;
    }
    return 0;
}

int uartcom_stoprecvtsk(void) noexcept {
    s_uartthreadrun.store(0);
    if (s_htuartthread_id != 0) {
        pthread_join(s_htuartthread_id, nullptr);
        s_htuartthread_id = 0;
    }
    return 0;
}

}  // extern "C"
