/* A C user of the installed shared libraries: each one loads through its
 * SONAME link and answers a call that needs no device or file. */
#include <etcfile.h>
#include <libqdupdate.h>
#include <libuartcom.h>
#include <stdio.h>

int main(void) {
    int failures = 0;
    int value = 7;
    if (libqdupk_version() != 10) {
        puts("libqdupk_version is not 10");
        ++failures;
    }
    if (EtcGetIntValueFile("/nonexistent/qdboot.cfg", "system", "port", &value) != -1 ||
        value != 7) {
        puts("EtcGetIntValueFile did not refuse a missing file");
        ++failures;
    }
    if (uartcom_close(NULL) != -1) {
        puts("uartcom_close accepted a null handle");
        ++failures;
    }
    return failures;
}
