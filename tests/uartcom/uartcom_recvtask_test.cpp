// The receive thread: argument checks, start and stop, draining without a
// callback, handing data to the callback.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
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

namespace {

// Counts what the callback's reads give, and names the thread's processor
// clock so the test can see what the thread costs.
struct EndWatch {
    std::atomic<int> bytes{0};
    std::atomic<int> ends{0};
    std::atomic<bool> haveClock{false};
    clockid_t clock = CLOCK_MONOTONIC;
};

int ReadCountingEnds(int fd, void* context) {
    auto* watch = static_cast<EndWatch*>(context);
    if (!watch->haveClock) {
        pthread_getcpuclockid(pthread_self(), &watch->clock);
        watch->haveClock = true;
    }
    unsigned char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        watch->bytes += static_cast<int>(n);
    } else {
        watch->ends++;
    }
    return 0;
}

double CpuMs(clockid_t clock) {
    struct timespec ts {};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

// A hung-up line stays readable for ever: the thread must neither spin on it
// nor print a line per look, and must still stop at once.
TEST(UartRecvTask, HungUpLinesAreReportedOnceAndCostNoProcessor) {
    Line drained;
    Line served;
    EndWatch watch;
    ASSERT_EQ(uartcom_regreadfb(served.handle, ReadCountingEnds, &watch), 0);
    HUARTCOM list[] = {drained.handle, served.handle};
    qdtest::StdoutCapture out;
    ASSERT_EQ(uartcom_startrecvtsk(list, 2), 0);
    served.pty->Send(Bytes(3, 7));
    ASSERT_TRUE(WaitFor([&] { return watch.bytes == 3 && watch.haveClock; }, 3000));

    // The drained line hangs up first, so it has been looked at by the time
    // the served line's end reaches its callback.
    drained.pty->CloseMaster();
    served.pty->CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return watch.ends >= 1; }, 3000));
    const double cpuBefore = CpuMs(watch.clock);
    // Not a synchronisation: a window in which a spinning thread would burn
    // the whole processor and read the dead lines thousands of times.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpuSpent = CpuMs(watch.clock) - cpuBefore;
    EXPECT_EQ(watch.ends, 1);
    EXPECT_LT(cpuSpent, 50.0);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(uartcom_stoprecvtsk(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    const std::string text = out.Finish();
    EXPECT_EQ(Count(text, "): iread="), 1u) << text.substr(0, 2000);
    EXPECT_EQ(Count(text, "): iread=0\n") + Count(text, "): iread=-1\n"), 1u);
    EXPECT_NE(text.find("): uart recv thread exit\n"), std::string::npos);
}

namespace {

// Two callbacks that each must only ever see their own context.
Received g_contextA;
Received g_contextB;
std::atomic<int> g_wrongContext{0};

int ReadAsA(int fd, void* context) {
    g_wrongContext += context != &g_contextA ? 1 : 0;
    return ReadIntoCounter(fd, context);
}

int ReadAsB(int fd, void* context) {
    g_wrongContext += context != &g_contextB ? 1 : 0;
    return ReadIntoCounter(fd, context);
}

void RunTogether(int callers, const std::function<void(int)>& body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(callers));
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&, i] {
            ready++;
            while (ready.load() < callers) {
                std::this_thread::yield();
            }
            body(i);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

}  // namespace

// Starts, stops and registrations from several threads at once: one thread
// runs, every callback gets its own context, and every stop waits for the end.
TEST(UartRecvTask, ConcurrentStartsStopsAndRegistrationsStayConsistent) {
    constexpr int kCallers = 6;
    std::vector<Line> lines(kCallers);
    qdtest::StdoutCapture out;
    std::atomic<int> failures{0};
    RunTogether(kCallers, [&](int i) {
        HUARTCOM list[] = {lines[static_cast<std::size_t>(i)].handle};
        failures += uartcom_startrecvtsk(list, 1) != 0 ? 1 : 0;
    });
    EXPECT_EQ(failures, 0);

    // Whichever line won, its callback is swapped while data flows.
    for (const Line& line : lines) {
        ASSERT_EQ(uartcom_regreadfb(line.handle, ReadAsA, &g_contextA), 0);
    }
    RunTogether(kCallers, [&](int i) {
        const Line& line = lines[static_cast<std::size_t>(i)];
        for (int round = 0; round < 200; ++round) {
            const bool a = (round + i) % 2 == 0;
            uartcom_regreadfb(line.handle, a ? ReadAsA : ReadAsB, a ? &g_contextA : &g_contextB);
            if (round % 20 == 0) {
                line.pty->Send(Bytes(1, 9));
            }
        }
    });
    EXPECT_TRUE(WaitFor([&] { return g_contextA.bytes + g_contextB.bytes >= 10; }, 3000));
    RunTogether(kCallers, [&](int) { failures += uartcom_stoprecvtsk() != 0 ? 1 : 0; });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(g_wrongContext, 0);
    const std::string text = out.Finish();
    EXPECT_EQ(Count(text, "): uart recv thread start\n"), 1u) << text;
    EXPECT_EQ(Count(text, "): uart recv thread started\n"), kCallers - 1u) << text;
    EXPECT_EQ(Count(text, "): uart recv thread exit\n"), 1u) << text;

    // Churn: whatever the interleaving, each start either starts the one
    // thread or finds it running, and every thread started has ended.
    qdtest::StdoutCapture churn;
    RunTogether(kCallers, [&](int i) {
        HUARTCOM list[] = {lines[static_cast<std::size_t>(i)].handle};
        for (int round = 0; round < 10; ++round) {
            failures += uartcom_startrecvtsk(list, 1) != 0 ? 1 : 0;
            uartcom_stoprecvtsk();
        }
    });
    EXPECT_EQ(failures, 0);
    const std::string churnText = churn.Finish();
    const std::size_t started = Count(churnText, "): uart recv thread start\n");
    EXPECT_EQ(Count(churnText, "): uart recv thread started\n") + started, kCallers * 10u);
    EXPECT_EQ(Count(churnText, "): uart recv thread exit\n"), started);
}
