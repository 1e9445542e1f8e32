// Serial handles: opening a device in raw mode, line attributes, blocking
// mode, the caller's lock and callback registration.
#include "libuartcom.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qd_log.h"
#include "qd_owners.h"
#include "uartdef.h"

using uartcom_detail::ValidHandle;

namespace {

constexpr speed_t kSpeedCodes[QD_COMM_BITRATE_NUMS] = {
    B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200,
};

// Enumerations arrive from C callers with any 32-bit value; reading them as
// raw words keeps out-of-range values well defined until they are refused.
template <typename Enum>
std::uint32_t RawValue(const Enum& value) noexcept {
    static_assert(sizeof(Enum) == sizeof(std::uint32_t), "32-bit enumeration expected");
    std::uint32_t raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

int check_uartbaud(std::uint32_t emBaudrate) noexcept {
    if (emBaudrate >= QD_COMM_BITRATE_NUMS) {
        return -1;
    }
    return static_cast<int>(kSpeedCodes[emBaudrate]);
}

// A device that is no terminal (a pipe or a file standing in for the line)
// refuses these settings; it is used as it is, so their results are not
// checked.
void setup_com(int fd, struct termios* options) noexcept {
    static_cast<void>(tcgetattr(fd, options));
    cfsetispeed(options, B9600);
    cfsetospeed(options, B9600);
    options->c_cflag |= (CLOCAL | CREAD);
    options->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CSIZE);
    options->c_cflag |= CS8;
    options->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    options->c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | ICRNL | IXON);
    options->c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
    options->c_oflag = 0;
    options->c_cc[VMIN] = 1;
    options->c_cc[VTIME] = 255;
    static_cast<void>(tcsetattr(fd, TCSANOW, options));
}

bool SameAttributes(const COMM_ATTR& a, const COMM_ATTR& b) noexcept {
    return a.m_stopbit == b.m_stopbit && a.m_databit == b.m_databit && a.m_parity == b.m_parity &&
           a.m_baudrate == b.m_baudrate;
}

tcflag_t DataBitFlag(unsigned char dataBits) noexcept {
    switch (dataBits) {
        case 8:
            return CS8;
        case 7:
            return CS7;
        case 6:
            return CS6;
        default:
            return CS5;
    }
}

void SetParity(struct termios* tio, unsigned char parity) noexcept {
    if (parity == QD_COMM_PARITY_EVEN) {
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~static_cast<tcflag_t>(PARODD);
    } else if (parity == QD_COMM_PARITY_ODD) {
        tio->c_cflag |= (PARENB | PARODD);
    } else if (parity == QD_COMM_PARITY_NONE) {
        tio->c_cflag &= ~static_cast<tcflag_t>(PARENB);
    }
}

int comm_setarrti(HUART_T* pHPtz, const COMM_ATTR* pArrti) noexcept {
    if (SameAttributes(*pArrti, pHPtz->m_curarrti)) {
        return 0;
    }
    const int speed = check_uartbaud(RawValue(pArrti->m_baudrate));
    if (speed == -1) {
        return -1;
    }
    struct termios* tio = &pHPtz->m_newtio;
    // Every control flag is rebuilt from the request; nothing of the old
    // settings survives but what is set here.
    tio->c_cflag = static_cast<tcflag_t>(speed) | CLOCAL | CREAD;
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio->c_cflag |= DataBitFlag(pArrti->m_databit);
    SetParity(tio, pArrti->m_parity);
    if (pArrti->m_stopbit == 2) {
        tio->c_cflag |= CSTOPB;
    }
    const int ret = tcsetattr(pHPtz->m_fd, TCSANOW, tio);
    if (ret == 0) {
        pHPtz->m_curarrti = *pArrti;
    }
    return ret;
}

// The mode is recorded only once the descriptor has it.
int setblock(HUART_T* pHUart, int block) noexcept {
    const int flags = fcntl(pHUart->m_fd, F_GETFL);
    if (flags < 0 || fcntl(pHUart->m_fd, F_SETFL,
                           block != 0 ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) != 0) {
        return -1;
    }
    pHUart->m_isblock = block;
    return 0;
}

// The attribute checks in their fixed order: baud rate, data bits, stop
// bits, parity. Fills pArrti and returns 0 when all pass.
int ValidateAttributes(const QD_COMMATTR_T* pComAttr, COMM_ATTR* pArrti) noexcept {
    const std::uint32_t baud = RawValue(pComAttr->emBaudRate);
    const std::uint32_t dataBits = RawValue(pComAttr->emDataBit);
    const std::uint32_t stopBits = RawValue(pComAttr->emStopBit);
    const std::uint32_t parity = RawValue(pComAttr->emParity);
    if (check_uartbaud(baud) == -1) {
        return -2;
    }
    if (dataBits < QD_COMM_DATATBIT5 || dataBits > QD_COMM_DATATBIT8) {
        return -3;
    }
    if (stopBits != QD_COMM_STOPBIT1 && stopBits != QD_COMM_STOPBIT2) {
        return -4;
    }
    if (parity > QD_COMM_PARITY_EVEN) {
        return -5;
    }
    pArrti->m_stopbit = static_cast<unsigned char>(stopBits);
    pArrti->m_databit = static_cast<unsigned char>(dataBits);
    pArrti->m_parity = static_cast<unsigned char>(parity);
    pArrti->m_baudrate = pComAttr->emBaudRate;
    return 0;
}

// A descriptor of 0 is refused like a failed open; it is still ours, so it
// is closed rather than left behind. The line must never become the
// controlling terminal of a caller without one (a hang-up would then signal
// the whole daemon), nor stay open in the scripts and tools it runs.
qd::UniqueFd OpenDevice(const char* szDevName) noexcept {
    qd::UniqueFd fd(szDevName != nullptr ? open(szDevName, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1);
    if (fd.get() <= 0) {
        QD_LOG_ERR("open serial port : %s failed\n", szDevName != nullptr ? szDevName : "(null)");
        return qd::UniqueFd();
    }
    return fd;
}

HUART_T* OpenHandle(const char* szDevName, int bIsRs485, int* pErrNo) noexcept {
    qd::UniqueFd fd = OpenDevice(szDevName);
    if (!fd.valid()) {
        *pErrNo = -1;
        return nullptr;
    }
    auto* pHUart = static_cast<HUART_T*>(std::calloc(1, sizeof(HUART_T)));
    if (pHUart == nullptr) {
        qd::LogPlain("ptz malloc buffer failed\n");
        *pErrNo = -2;
        return nullptr;
    }
    pHUart->maskid = UART_MASKID;
    pHUart->m_commtype = bIsRs485 != 0 ? UART_TYPE_RS485 : UART_TYPE_RS232;
    pHUart->m_fd = fd.release();
    std::memset(&pHUart->m_newtio, 0, sizeof pHUart->m_newtio);
    setup_com(pHUart->m_fd, &pHUart->m_newtio);
    // A default mutex needs no resources beyond its own memory.
    static_cast<void>(pthread_mutex_init(&pHUart->m_hmutex, nullptr));
    const COMM_ATTR defaults = {QD_COMM_STOPBIT1, QD_COMM_DATATBIT8, QD_COMM_PARITY_NONE,
                                QD_COMM_BITRATE_9600};
    // Refused only by a device that is no terminal, as in setup_com.
    static_cast<void>(comm_setarrti(pHUart, &defaults));
    // Fails only for a descriptor that is not open; this one just was.
    static_cast<void>(setblock(pHUart, 0));
    return pHUart;
}

}  // namespace

extern "C" {

HUARTCOM uartcom_open(const char* szDevName, int bIsRs485, int* pErrNo) noexcept {
    int errNo = 0;
    HUART_T* pHUart = OpenHandle(szDevName, bIsRs485, &errNo);
    if (pHUart == nullptr && pErrNo != nullptr) {
        *pErrNo = errNo;
    }
    return pHUart;
}

int uartcom_close(HUARTCOM hUartCom) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    // The handle goes in any case, so neither result leaves anything to do.
    if (pHUart->m_fd > 0) {
        static_cast<void>(close(pHUart->m_fd));
    }
    static_cast<void>(pthread_mutex_destroy(&pHUart->m_hmutex));
    // A stale copy of the pointer then fails the mark test instead of
    // passing for a live handle.
    pHUart->maskid = 0;
    std::free(pHUart);
    return 0;
}

int uartcom_getfd(HUARTCOM hUartCom) noexcept {
    const HUART_T* pHUart = ValidHandle(hUartCom);
    return pHUart != nullptr ? pHUart->m_fd : -1;
}

int uartcom_setattri(HUARTCOM hUartCom, const QD_COMMATTR_T* pComAttr) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr || pComAttr == nullptr) {
        return -1;
    }
    COMM_ATTR attr = {};
    const int checked = ValidateAttributes(pComAttr, &attr);
    if (checked != 0) {
        return checked;
    }
    return comm_setarrti(pHUart, &attr);
}

int uartcom_lock(HUARTCOM hUartCom, int bLock) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    const int error = bLock != 0 ? pthread_mutex_lock(&pHUart->m_hmutex)
                                 : pthread_mutex_unlock(&pHUart->m_hmutex);
    return error == 0 ? 0 : -1;
}

int uartcom_regrs485ctrlfb(HUARTCOM hUartCom, UARTCOM_RS485STATEFB fdRs485StateFb,
                           void* context) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    pHUart->fdStateCtrlFb = fdRs485StateFb;
    pHUart->pContextStatCtrl = context;
    return 0;
}

int uartcom_regreadfb(HUARTCOM hUartCom, UARTCOM_READFB fdUartReadFb, void* context) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    uartcom_detail::StoreReadCallback(pHUart, fdUartReadFb, context);
    return 0;
}

int uartcom_setblock(HUARTCOM hUartCom, int block) noexcept {
    HUART_T* pHUart = ValidHandle(hUartCom);
    if (pHUart == nullptr) {
        return -1;
    }
    return setblock(pHUart, block);
}

}  // extern "C"
