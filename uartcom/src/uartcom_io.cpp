// Timed send and receive on a serial handle, with RS-485 direction switching
// around every send, and the discard of pending input.
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>

#include "libuartcom.h"
#include "qd_log.h"
#include "uartdef.h"

using uartcom_detail::ValidHandle;

namespace {

constexpr int kDiscardChunk = 64;
constexpr long kRetryPauseUs = 1000;

// select() on one descriptor. A descriptor beyond FD_SETSIZE cannot be put
// in an fd_set without overrunning it, so it fails like a broken wait.
int WaitFd(int fd, bool forWrite, struct timeval* tv) noexcept {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    return forWrite ? select(fd + 1, nullptr, &fds, nullptr, tv)
                    : select(fd + 1, &fds, nullptr, nullptr, tv);
}

// Polls the line status without sleeping until the transmitter reports
// empty; a device without the query ends the wait at once.
int commctrl_getstatus(int fd) noexcept {
    int status = 0;
    int result = 0;
    while (result == 0) {
        result = ioctl(fd, TIOCSERGETLSR, &status);
        if (status != 0) {
            break;
        }
    }
    return result;
}

void RS485_EnableState(const HUART_T* pHUart, int bRead) noexcept {
    if (pHUart->fdStateCtrlFb != nullptr) {
        QD_LOG_TRACE("rs482 callback read=%d\n", bRead);
        pHUart->fdStateCtrlFb(pHUart->m_fd, bRead, pHUart->pContextStatCtrl);
        return;
    }
    int bits = 0;
    ioctl(pHUart->m_fd, TIOCMGET, &bits);
    if (bRead != 0) {
        bits &= ~TIOCM_RTS;
    } else {
        bits |= TIOCM_RTS;
    }
    ioctl(pHUart->m_fd, TIOCMSET, &bits);
    QD_LOG_TRACE("rs482 TIOCMGET read=%d\n", bRead);
}

int SendNonBlocking(int fd, const unsigned char* pBuffer, int size) noexcept {
    int left = size;
    const unsigned char* pos = pBuffer;
    while (left > 0) {
        struct timeval tv = {1, 0};
        if (WaitFd(fd, true, &tv) == 0) {
            QD_LOG_TRACE("comm[%d] select timeout \n", fd);
            break;
        }
        // A failed wait still tries the write: the write tells what is wrong.
        const ssize_t written = write(fd, pos, static_cast<size_t>(left));
        if (written > 0) {
            pos += written;
            left -= static_cast<int>(written);
            continue;
        }
        const int err = errno;
        if (written < 0 && err == EAGAIN) {
            continue;
        }
        QD_LOG_TRACE("uart[%d] send data error : %d,errno=%d\n", fd, static_cast<int>(written),
                     err);
        break;
    }
    return size - left;
}

int uartsendbuffer(const HUART_T* pHUart, const unsigned char* pBuffer, int size) noexcept {
    const bool isRs485 = pHUart->m_commtype == UART_TYPE_RS485;
    if (isRs485) {
        commctrl_getstatus(pHUart->m_fd);
        RS485_EnableState(pHUart, RS485STAT_WRITE);
    }
    int result = 0;
    if (pHUart->m_isblock != 0) {
        // A negative size must not turn into a huge unsigned length.
        const size_t length = size > 0 ? static_cast<size_t>(size) : 0;
        result = static_cast<int>(write(pHUart->m_fd, pBuffer, length));
    } else {
        result = SendNonBlocking(pHUart->m_fd, pBuffer, size);
    }
    if (isRs485) {
        commctrl_getstatus(pHUart->m_fd);
        RS485_EnableState(pHUart, RS485STAT_READ);
    }
    return result;
}

// Takes a retry pause out of the remaining time, so a line that reports
// readable but yields nothing (a hung-up device) cannot hold the receive
// past its budget. False when the budget is used up.
bool PauseWithinBudget(struct timeval* tv) noexcept {
    usleep(kRetryPauseUs);
    long remainingUs = static_cast<long>(tv->tv_sec) * 1000000L + tv->tv_usec - kRetryPauseUs;
    if (remainingUs <= 0) {
        return false;
    }
    tv->tv_sec = remainingUs / 1000000L;
    tv->tv_usec = remainingUs % 1000000L;
    return true;
}

int recvbuffertimeout(const HUART_T* pHUart, unsigned char* pRecv, int size, int timeout) noexcept {
    // One time value for every wait: select() leaves the unspent part in it,
    // so all waits together stay within the budget.
    struct timeval tv = {timeout / 1000, static_cast<suseconds_t>(timeout % 1000) * 1000};
    int received = 0;
    int wanted = size;
    while (wanted > 0) {
        const int ret = WaitFd(pHUart->m_fd, false, &tv);
        if (ret <= 0) {
            QD_LOG_ERR("uart wait ret=%d, timeout=%d ms\n", ret, timeout);
            break;
        }
        const ssize_t got = read(pHUart->m_fd, pRecv + received, static_cast<size_t>(wanted));
        if (got > 0) {
            received += static_cast<int>(got);
            wanted -= static_cast<int>(got);
            continue;
        }
        if (got < 0) {
            const int err = errno;
            QD_LOG_ERR("read error=%d, errno=%d\n", static_cast<int>(got), err);
            if (err != EAGAIN) {
                break;
            }
        }
        if (!PauseWithinBudget(&tv)) {
            QD_LOG_ERR("uart wait ret=%d, timeout=%d ms\n", 0, timeout);
            break;
        }
    }
    return received;
}

int DiscardPending(int fd) noexcept {
    unsigned char scratch[kDiscardChunk];
    int total = 0;
    for (;;) {
        struct timeval tv = {0, 0};
        if (WaitFd(fd, false, &tv) <= 0) {
            break;
        }
        const ssize_t got = read(fd, scratch, sizeof scratch);
        if (got <= 0) {
            break;
        }
        total += static_cast<int>(got);
    }
    return total;
}

}  // namespace

extern "C" {

int uartcom_sendbuff(HUARTCOM hUartCom, const unsigned char* pBuffer, int size) noexcept {
    const HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        QD_LOG_ERR("invalid handle\n");
        return -1;
    }
    return uartsendbuffer(pHUart, pBuffer, size);
}

int uartcom_recvbuff(HUARTCOM hUartCom, unsigned char* pRecv, int RecvLen,
                     int recvtimeout) noexcept {
    const HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        QD_LOG_ERR("invalid handle\n");
        return -1;
    }
    return recvbuffertimeout(pHUart, pRecv, RecvLen, recvtimeout);
}

int uartcom_sendrecv(HUARTCOM hUartCom, const unsigned char* pSend, int SendLen,
                     unsigned char* pRecv, int RecvLen, int recvtimeout) noexcept {
    const HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    uartsendbuffer(pHUart, pSend, SendLen);
    return recvbuffertimeout(pHUart, pRecv, RecvLen, recvtimeout);
}

int uartcom_cleanreadbuff(HUARTCOM hUartCom) noexcept {
    const HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    return DiscardPending(pHUart->m_fd);
}

}  // extern "C"
