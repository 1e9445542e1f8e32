/* Serial port library: handles for serial devices, line settings, timed send
 * and receive with RS-485 direction control, and an optional receive thread.
 * Plain C interface; C and C++ callers include it alike.
 *
 * Results: 0 for success and a small negative number for failure unless a
 * function says otherwise. Every function that takes a handle first checks
 * that it is not null and carries the library's validity mark, and returns
 * -1 otherwise. The library never takes a handle's mutex: callers that share
 * a handle between threads bracket each exchange with uartcom_lock. Starting
 * and stopping the receive thread and registering its read callback are safe
 * from any thread (the library serialises them internally). */
#ifndef LIBUARTCOM_H
#define LIBUARTCOM_H

#if defined(__has_include)
#if __has_include("QDComm.h")
#include "QDComm.h"
#else
#include "../comm/QDComm.h"
#endif
#else
#include "QDComm.h"
#endif

#include "qd_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque serial handle; owned by whoever opened it. */
typedef void* HUARTCOM;

/* Called by the receive thread when the descriptor is readable; it reads the
 * data itself. Its result is not examined. */
typedef int (*UARTCOM_READFB)(int fd, void* pContext);

/* Sets an RS-485 driver for bRead (0: transmit, 1: receive) before it
 * returns. Its result is not examined. */
typedef int (*UARTCOM_RS485STATEFB)(int fd, int bRead, void* pContext);

/* Opens szDevName read-write in raw mode at 9600 baud 8N1, non-blocking.
 * bIsRs485 non-zero makes every send switch the RS-485 direction. Returns the
 * handle, or null with *pErrNo (when given) set to -1 (device not opened) or
 * -2 (no memory). */
QD_API HUARTCOM uartcom_open(const char* szDevName, int bIsRs485, int* pErrNo) QD_NOEXCEPT;

/* Closes the device and frees the handle; it must not be used again. A handle
 * watched by the receive thread is closed only after uartcom_stoprecvtsk. */
QD_API int uartcom_close(HUARTCOM hUartCom) QD_NOEXCEPT;

/* The device's descriptor. */
QD_API int uartcom_getfd(HUARTCOM hUartCom) QD_NOEXCEPT;

/* Applies the line attributes; the same attributes twice apply nothing the
 * second time. -2 unsupported baud rate, -3 data bits not 5-8, -4 stop bits
 * not 1 or 2, -5 parity above 2 (the line is then unchanged); -1 when
 * pComAttr is null or the system refuses the settings. */
QD_API int uartcom_setattri(HUARTCOM hUartCom, const QD_COMMATTR_T* pComAttr) QD_NOEXCEPT;

/* Takes (bLock non-zero) or releases (0) the handle's mutex. */
QD_API int uartcom_lock(HUARTCOM hUartCom, int bLock) QD_NOEXCEPT;

/* Registers the RS-485 direction callback; null goes back to driving RTS. */
QD_API int uartcom_regrs485ctrlfb(HUARTCOM hUartCom, UARTCOM_RS485STATEFB fdRs485StateFb,
                                  void* context) QD_NOEXCEPT;

/* Registers the receive thread's read callback; null lets the thread read and
 * drop incoming bytes itself. The callback and its context change together;
 * a call already under way may still finish with the old pair, so an old
 * context is released only after uartcom_stoprecvtsk. */
QD_API int uartcom_regreadfb(HUARTCOM hUartCom, UARTCOM_READFB fdUartReadFb,
                             void* context) QD_NOEXCEPT;

/* Switches the descriptor to blocking (non-zero) or non-blocking (0) I/O. */
QD_API int uartcom_setblock(HUARTCOM hUartCom, int block) QD_NOEXCEPT;

/* Sends size bytes; returns the bytes written (fewer when the line stalls
 * for 1 s or fails; in blocking mode the single write's result). */
QD_API int uartcom_sendbuff(HUARTCOM hUartCom, const unsigned char* pBuffer, int size) QD_NOEXCEPT;

/* Receives up to RecvLen bytes within recvtimeout ms in total; returns the
 * bytes received, fewer (possibly 0) when the time ran out. */
QD_API int uartcom_recvbuff(HUARTCOM hUartCom, unsigned char* pRecv, int RecvLen,
                            int recvtimeout) QD_NOEXCEPT;

/* Sends, then receives as uartcom_recvbuff; pending input is not discarded
 * first. Returns the bytes received. */
QD_API int uartcom_sendrecv(HUARTCOM hUartCom, const unsigned char* pSend, int SendLen,
                            unsigned char* pRecv, int RecvLen, int recvtimeout) QD_NOEXCEPT;

/* Discards the input pending now, without waiting; returns the bytes
 * discarded. */
QD_API int uartcom_cleanreadbuff(HUARTCOM hUartCom) QD_NOEXCEPT;

/* Starts the one receive thread of the process for numbers (1 to 10)
 * handles, which stay owned by the caller. 0 also when a thread already
 * runs (it keeps its own list); -1 invalid handle or count; -2 no memory;
 * -3 the thread could not be created. */
QD_API int uartcom_startrecvtsk(HUARTCOM* phandellist, int numbers) QD_NOEXCEPT;

/* Stops the receive thread and waits until it has ended (at once, plus a
 * callback that is running). 0, also when no thread runs. Called from a read
 * callback it only tells the thread to end after the callback returns. A
 * line that hangs up is handed on once (the callback meets its end of file,
 * or the thread traces it) and then rested a second at a time. */
QD_API int uartcom_stoprecvtsk(void) QD_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* LIBUARTCOM_H */
