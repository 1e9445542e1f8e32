// Start-up steps that need no network.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "startup.h"

namespace {

// In a child, so the test runner's own descriptors stay as they are.
int ExitCodeOfChild(void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

void CloseStdinAndStderrThenEnsure() {
    close(0);
    close(2);
    EnsureStandardDescriptors();
    if (fcntl(0, F_GETFD) == -1 || fcntl(2, F_GETFD) == -1) {
        _exit(1);
    }
    // The next descriptor the daemon opens is above the standard three.
    const int next = open("/dev/null", O_RDONLY);
    _exit(next > 2 ? 0 : 2);
}

TEST(Startup, ClosedStandardDescriptorsAreReopenedOnDevNull) {
    EXPECT_EQ(ExitCodeOfChild(CloseStdinAndStderrThenEnsure), 0);
}

TEST(Startup, ConfigPathIsTheFirstArgumentOrTheDefault) {
    char prog[] = "qdboot";
    char first[] = "/etc/a.cfg";
    char second[] = "/etc/b.cfg";
    char* none[] = {prog, nullptr};
    char* two[] = {prog, first, second, nullptr};
    EXPECT_STREQ(QdbootConfigPath(1, none), "./qdboot.cfg");
    EXPECT_STREQ(QdbootConfigPath(3, two), "/etc/a.cfg");
}

TEST(Startup, RecoveryIsAnOptionBesideTheConfigPath) {
    char prog[] = "qdboot";
    char recovery[] = "--recovery";
    char path[] = "/etc/a.cfg";
    char* before[] = {prog, recovery, path, nullptr};
    char* after[] = {prog, path, recovery, nullptr};
    char* alone[] = {prog, recovery, nullptr};
    for (char** argv : {before, after}) {
        const StartOptions options = ParseStartOptions(3, argv);
        EXPECT_STREQ(options.configPath, "/etc/a.cfg");
        EXPECT_TRUE(options.recovery);
    }
    EXPECT_STREQ(ParseStartOptions(2, alone).configPath, "./qdboot.cfg");
    EXPECT_FALSE(ParseStartOptions(2, after).recovery);
}

}  // namespace
