/* The INI library used from plain C, linked with the C compiler alone. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "etcfile.h"

static int failures = 0;

static void expect_int(const char* what, int got, int want) {
    if (got != want) {
        fprintf(stderr, "%s: got %d, want %d\n", what, got, want);
        ++failures;
    }
}

static void expect_text(const char* what, const char* got, const char* want) {
    if (strcmp(got, want) != 0) {
        fprintf(stderr, "%s: got '%s', want '%s'\n", what, got, want);
        ++failures;
    }
}

static void exercise(void) {
    char value[16];
    int number = 7;

    expect_int("save new file", EtcSaveValueFile("c.ini", "net", "host", "cam"), 0);
    expect_int("save int", EtcSaveIntValueFile("c.ini", "net", "port", -5), 0);
    expect_int("replace", EtcSaveValueFile("c.ini", "net", "host", "dome"), 0);

    expect_int("get", EtcGetValueFile("c.ini", "net", "host", value, 15), 0);
    expect_text("get value", value, "dome");
    expect_int("get int", EtcGetIntValueFile("c.ini", "net", "port", &number), 0);
    expect_int("int value", number, -5);

    expect_int("missing file", EtcGetValueFile("none.ini", "net", "host", value, 15), -1);
    expect_int("missing section", EtcGetIntValueFile("c.ini", "x", "port", &number), -2);
    expect_int("missing key", EtcGetValueFile("c.ini", "net", "x", value, 15), -3);
    expect_int("int untouched", number, -5);
}

int main(void) {
    char dir[] = "/tmp/etc_c_api.XXXXXX";
    if (mkdtemp(dir) == NULL || chdir(dir) != 0) {
        perror("scratch directory");
        return 2;
    }
    exercise();
    if (remove("c.ini") != 0 || chdir("/") != 0 || rmdir(dir) != 0) {
        perror("cleanup");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
