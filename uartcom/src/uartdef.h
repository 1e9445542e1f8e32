/* Private records of the serial port library. The field order is part of
 * the handle's layout (the validity mark must stay first), so it is checked
 * below rather than left to chance. Plain C so C test programs can forge
 * handles. */
#ifndef UARTDEF_H
#define UARTDEF_H

#include <pthread.h>
#include <termios.h>

#include "QDComm.h"
#include "libuartcom.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0xFFCD1098 seen as a signed int. */
#define UART_MASKID ((int)0xFFCD1098u)

#define UART_LIST_MAX 10

enum { UART_TYPE_RS485 = 0, UART_TYPE_RS232 = 1 };

/* Direction of an RS-485 line, as passed to the direction callback. */
enum { RS485STAT_WRITE = 0, RS485STAT_READ = 1 };

typedef struct {
    unsigned char m_stopbit;
    unsigned char m_databit;
    unsigned char m_parity;
    QD_COMM_BITRATE_TYPE m_baudrate;
} COMM_ATTR;

typedef struct {
    int maskid;
    int m_fd;
    int m_commtype;
    int m_isblock;
    struct termios m_newtio;
    COMM_ATTR m_curarrti;
    pthread_mutex_t m_hmutex;
    UARTCOM_READFB fdReadDataFd;
    void* pContextReadData;
    UARTCOM_RS485STATEFB fdStateCtrlFb;
    void* pContextStatCtrl;
} HUART_T;

typedef struct {
    int nums;
    HUART_T* pUart[UART_LIST_MAX];
} HUARTLIST_T;

#ifdef __cplusplus
}

#include <cstddef>

static_assert(offsetof(HUART_T, maskid) == 0, "the validity mark must be the first word");
static_assert(offsetof(HUART_T, m_fd) == sizeof(int), "HUART_T field order");
static_assert(offsetof(HUART_T, m_commtype) == 2 * sizeof(int), "HUART_T field order");
static_assert(offsetof(HUART_T, m_isblock) == 3 * sizeof(int), "HUART_T field order");
static_assert(offsetof(HUART_T, m_newtio) < offsetof(HUART_T, m_curarrti) &&
                  offsetof(HUART_T, m_curarrti) < offsetof(HUART_T, m_hmutex) &&
                  offsetof(HUART_T, m_hmutex) < offsetof(HUART_T, fdReadDataFd) &&
                  offsetof(HUART_T, fdReadDataFd) < offsetof(HUART_T, pContextReadData) &&
                  offsetof(HUART_T, pContextReadData) < offsetof(HUART_T, fdStateCtrlFb) &&
                  offsetof(HUART_T, fdStateCtrlFb) < offsetof(HUART_T, pContextStatCtrl),
              "HUART_T field order");
static_assert(offsetof(COMM_ATTR, m_stopbit) == 0 && offsetof(COMM_ATTR, m_databit) == 1 &&
                  offsetof(COMM_ATTR, m_parity) == 2 && offsetof(COMM_ATTR, m_baudrate) == 4,
              "COMM_ATTR layout");
static_assert(offsetof(HUARTLIST_T, pUart) == sizeof(void*), "HUARTLIST_T layout");

/* Internal helpers shared by the library's source files (hidden: the
 * library is built with hidden visibility). */
namespace uartcom_detail {

inline HUART_T* ValidHandle(void* hUartCom) noexcept {
    HUART_T* pHUart = static_cast<HUART_T*>(hUartCom);
    return (pHUart != nullptr && pHUart->maskid == UART_MASKID) ? pHUart : nullptr;
}

// The receive thread's callback and its context, always read and written
// as a pair so the thread never calls one callback with another's context.
struct ReadCallback {
    UARTCOM_READFB fn;
    void* context;
};
void StoreReadCallback(HUART_T* pHUart, UARTCOM_READFB fn, void* context) noexcept;
ReadCallback LoadReadCallback(const HUART_T* pHUart) noexcept;

}  // namespace uartcom_detail
#endif

#endif /* UARTDEF_H */
