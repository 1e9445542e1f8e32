/* The serial library from plain C, linked by the C compiler with -lpthread
 * alone: open a pseudo-terminal slave, exchange bytes, refuse bad handles. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "libuartcom.h"

static int failures = 0;

static void Check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        failures++;
    }
}

int main(void) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    if (fcntl(0, F_GETFD) == -1) {
        (void)open("/dev/null", O_RDONLY);
    }
    int errNo = 0;
    HUARTCOM h = uartcom_open(ptsname(master), 1, &errNo);
    Check(h != NULL && errNo == 0, "open");
    QD_COMMATTR_T attr = {QD_COMM_DATATBIT8, QD_COMM_STOPBIT1, QD_COMM_PARITY_NONE,
                          QD_COMM_BITRATE_115200};
    Check(uartcom_setattri(h, &attr) == 0, "setattri");
    attr.emParity = (QD_COMM_PARITY_TYPE)3;
    Check(uartcom_setattri(h, &attr) == -5, "parity 3 refused");

    const unsigned char frame[] = {0xA5, 0xF6, 0xAA, 0xF9, 0xAF};
    Check(uartcom_sendbuff(h, frame, 5) == 5, "send");
    unsigned char echo[5];
    Check(read(master, echo, 5) == 5 && echo[4] == 0xAF, "far end got the frame");
    Check(write(master, "\xA5\xFB\x01\x5F", 4) == 4, "reply written");
    unsigned char reply[5] = {0};
    Check(uartcom_recvbuff(h, reply, 4, 1000) == 4 && reply[3] == 0x5F, "receive");

    int fake[32] = {0};
    Check(uartcom_getfd(NULL) == -1 && uartcom_getfd(fake) == -1, "bad handles");
    HUARTCOM list[] = {h};
    Check(uartcom_startrecvtsk(list, 1) == 0, "thread start");
    Check(uartcom_stoprecvtsk() == 0, "thread stop");
    Check(uartcom_close(h) == 0, "close");
    close(master);
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
