// The receive thread: argument checks, start and stop, draining without a
// callback, handing data to the callback.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libuartcom.h"
#include "pty_pair.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Line {
    std::unique_ptr<qdtest::PtyPair> pty = std::make_unique<qdtest::PtyPair>();
    HUARTCOM handle = uartcom_open(pty->slavePath().c_str(), 0, nullptr);
    ~Line() { uartcom_close(handle); }
};

struct Received {
    std::atomic<int> bytes{0};
    std::atomic<int> calls{0};
    std::atomic<int> fd{-1};
};

int ReadIntoCounter(int fd, void* context) {
    auto* got = static_cast<Received*>(context);
    unsigned char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    got->fd = fd;
    got->calls++;
    if (n > 0) {
        got->bytes += static_cast<int>(n);
    }
    return 0;
}

int PendingInput(int fd) {
    int pending = -1;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

}  // namespace

TEST(UartRecvTask, BadListsAreRefusedHandlesFirst) {
    std::vector<Line> lines(11);
    std::vector<HUARTCOM> list;
    for (const Line& line : lines) {
        ASSERT_NE(line.handle, nullptr);
        list.push_back(line.handle);
    }
    qdtest::StdoutCapture quiet;
    EXPECT_EQ(uartcom_startrecvtsk(list.data(), 11), -1);
    EXPECT_EQ(uartcom_startrecvtsk(list.data(), 0), -1);
    EXPECT_EQ(uartcom_startrecvtsk(list.data(), -3), -1);
    EXPECT_EQ(quiet.Finish(), "");

    int fake[64] = {0};
    list[2] = nullptr;
    list[5] = fake;
    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_startrecvtsk(list.data(), 11), -1);
    EXPECT_EQ(uartcom_startrecvtsk(list.data() + 3, 4), -1);
    const std::string text = out.Finish();
    EXPECT_NE(text.find("): index[2] invalid uart handle\n"), std::string::npos) << text;
    EXPECT_NE(text.find("): index[2] invalid uart handle\n", text.find("index[2]") + 1),
              std::string::npos)
        << "the fake entry sits at index 2 of the shifted list: " << text;
    EXPECT_EQ(text.find("recv thread start"), std::string::npos) << text;
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
}

TEST(UartRecvTask, StartTwiceKeepsTheFirstThreadAndStopEndsIt) {
    Line a;
    Line b;
    Received gotA;
    Received gotB;
    ASSERT_EQ(uartcom_regreadfb(a.handle, ReadIntoCounter, &gotA), 0);
    ASSERT_EQ(uartcom_regreadfb(b.handle, ReadIntoCounter, &gotB), 0);
    HUARTCOM first[] = {a.handle};
    HUARTCOM second[] = {b.handle};

    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
    ASSERT_EQ(uartcom_startrecvtsk(first, 1), 0);
    EXPECT_EQ(uartcom_startrecvtsk(second, 1), 0);
    a.pty->Send(Bytes(10, 1));
    b.pty->Send(Bytes(10, 2));
    EXPECT_TRUE(WaitFor([&] { return gotA.bytes == 10; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gotB.calls, 0) << "the second list must not be used";
    EXPECT_EQ(gotA.fd, uartcom_getfd(a.handle));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    const std::string text = out.Finish();
    EXPECT_NE(text.find("): uart recv thread started\n"), std::string::npos) << text;
    EXPECT_NE(text.find("): uart recv thread start\n"), std::string::npos) << text;
    EXPECT_NE(text.find("): uart recv thread exit\n"), std::string::npos) << text;

    // Stopped means stopped: data now stays on the line, and a new start
    // with the other list works.
    a.pty->Send(Bytes(5, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gotA.bytes, 10);
    EXPECT_EQ(uartcom_cleanreadbuff(a.handle), 5);
    qdtest::StdoutCapture again;
    ASSERT_EQ(uartcom_startrecvtsk(second, 1), 0);
    EXPECT_TRUE(WaitFor([&] { return gotB.bytes == 10; }, 3000));
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
}

TEST(UartRecvTask, WithoutCallbackIncomingBytesAreDrainedAndTraced) {
    Line line;
    HUARTCOM list[] = {line.handle};
    qdtest::StdoutCapture out;
    line.pty->Send(Bytes(200, 0x33));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(uartcom_startrecvtsk(list, 1), 0);
    EXPECT_TRUE(WaitFor([&] { return PendingInput(line.pty->slave()) == 0; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
    const std::string text = out.Finish();
    EXPECT_NE(text.find("): iread=128\n"), std::string::npos) << text;
    EXPECT_NE(text.find("): iread=72\n"), std::string::npos) << text;
}

// In a child that may not start any more processes (an unprivileged user
// with no process allowance) the thread cannot be created: the start must
// say so and leave the run flag clear, so a second start fails the same way
// instead of claiming a thread already runs.
TEST(UartRecvTask, FailedThreadCreationIsReportedAndLeavesTheFlagClear) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to drop to an unprivileged user";
    }
    Line line;
    HUARTCOM list[] = {line.handle};
    qdtest::StdoutCapture out;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const struct rlimit none = {0, 0};
        if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0) {
            _exit(90);
        }
        const int first = uartcom_startrecvtsk(list, 1);
        const int second = uartcom_startrecvtsk(list, 1);
        (void)std::fflush(stdout);
        _exit(first == -3 && second == -3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string text = out.Finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("): create uart recv thread failed: "), std::string::npos) << text;
    EXPECT_EQ(text.find("recv thread started"), std::string::npos) << text;
}
