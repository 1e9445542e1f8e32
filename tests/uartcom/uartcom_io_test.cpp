// Timed send and receive, RS-485 direction switching and the discard of
// pending input, against a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "libuartcom.h"
#include "pty_pair.h"
#include "test_support.h"
#include "test_timing.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class UartIo : public ::testing::Test {
  protected:
    void Open(int rs485) {
        handle_ = uartcom_open(pty_.slavePath().c_str(), rs485, nullptr);
        ASSERT_NE(handle_, nullptr);
    }
    void SetUp() override { Open(0); }
    void TearDown() override { uartcom_close(handle_); }

    qdtest::PtyPair pty_;
    HUARTCOM handle_ = nullptr;
};

struct DirectionLog {
    std::vector<std::pair<int, int>> calls;  // (fd, bRead)
};

int RecordDirection(int fd, int bRead, void* context) {
    static_cast<DirectionLog*>(context)->calls.emplace_back(fd, bRead);
    return 0;
}

}  // namespace

TEST_F(UartIo, SendOnRs232DeliversEverythingSilently) {
    Bytes frame(1030);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<unsigned char>(i * 7);
    }
    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_sendbuff(handle_, frame.data(), static_cast<int>(frame.size())), 1030);
    EXPECT_EQ(out.Finish(), "");
    EXPECT_EQ(pty_.Receive(frame.size(), 1000), frame);

    ASSERT_EQ(uartcom_setblock(handle_, 1), 0);
    EXPECT_EQ(uartcom_sendbuff(handle_, frame.data(), 5), 5);
    EXPECT_EQ(pty_.Receive(5, 1000), Bytes(frame.begin(), frame.begin() + 5));
}

// Four bytes of five: the receive waits out the whole budget, returns what
// came and reports the time-out as a line, not as a code.
TEST_F(UartIo, ShortReplyReturnsPartialCountAfterTheBudget) {
    pty_.Send({0xA5, 0xFB, 0x01, 0x5F});
    unsigned char reply[8] = {};
    qdtest::StdoutCapture out;
    const auto start = Clock::now();
    EXPECT_EQ(uartcom_recvbuff(handle_, reply, 5, 500), 4);
    const long long elapsed = MsSince(start);
    const std::string text = out.Finish();
    EXPECT_GE(elapsed, 450);
    EXPECT_LT(elapsed, 500 + qdtest::Scaled(qdtest::Millis(1000)).count());
    EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{0xA5, 0xFB, 0x01, 0x5F, 0x00}));
    EXPECT_NE(text.find("): uart wait ret=0, timeout=500 ms\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("ERROR(uartcom/src/", 0), 0u) << text;
}

TEST_F(UartIo, ZeroBudgetTakesOnlyWhatIsPending) {
    unsigned char reply[16] = {};
    EXPECT_EQ(uartcom_recvbuff(handle_, reply, 4, 0), 0);
    pty_.Send({1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(pty_.WaitPending(6));
    EXPECT_EQ(uartcom_recvbuff(handle_, reply, 4, 0), 4);
    EXPECT_EQ(uartcom_recvbuff(handle_, reply + 4, 10, 0), 2);
    EXPECT_EQ(Bytes(reply, reply + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

// Bytes trickling in one every 150 ms must not restart the budget: the
// receive ends after about 400 ms with what came by then.
TEST_F(UartIo, BudgetCoversAllWaitsOfOneReceive) {
    std::thread feeder([this] {
        for (unsigned char b = 1; b <= 6; ++b) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the slow far end
            pty_.Send({b});
        }
    });
    unsigned char reply[8] = {};
    qdtest::StdoutCapture out;
    const auto start = Clock::now();
    const int got = uartcom_recvbuff(handle_, reply, 8, 400);
    const long long elapsed = MsSince(start);
    out.Finish();
    feeder.join();
    EXPECT_GE(got, 1);
    EXPECT_LE(got, 3);
    EXPECT_LT(elapsed, 400 + qdtest::Scaled(qdtest::Millis(300)).count());
    EXPECT_EQ(reply[0], 1);
}

TEST_F(UartIo, SendRecvKeepsStaleInputAndReturnsTheReceive) {
    pty_.Send({0xEE});
    ASSERT_TRUE(pty_.WaitPending(1));
    const unsigned char request[] = {0xA5, 0xF6, 0xAA, 0xF9, 0xAF};
    unsigned char reply[3] = {};
    EXPECT_EQ(uartcom_sendrecv(handle_, request, 5, reply, 1, 1000), 1);
    EXPECT_EQ(reply[0], 0xEE);
    EXPECT_EQ(pty_.Receive(5, 1000), Bytes(request, request + 5));
}

TEST_F(UartIo, DiscardTakesAllPendingBytesWithoutWaiting) {
    EXPECT_EQ(uartcom_cleanreadbuff(handle_), 0);
    pty_.Send(Bytes(100, 0x42));
    ASSERT_TRUE(pty_.WaitPending(100));
    const auto start = Clock::now();
    EXPECT_EQ(uartcom_cleanreadbuff(handle_), 100);
    EXPECT_EQ(uartcom_cleanreadbuff(handle_), 0);
    EXPECT_LT(MsSince(start), qdtest::Scaled(qdtest::Millis(200)).count());
    unsigned char reply[1];
    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_recvbuff(handle_, reply, 1, 0), 0);
}

TEST_F(UartIo, Rs485CallbackIsCalledToTransmitThenToReceive) {
    uartcom_close(handle_);
    Open(1);
    DirectionLog log;
    ASSERT_EQ(uartcom_regrs485ctrlfb(handle_, RecordDirection, &log), 0);
    const unsigned char frame[] = {0xA5, 0xFA, 0x00, 0x5F, 0xAF};
    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_sendbuff(handle_, frame, 5), 5);
    const std::string text = out.Finish();
    const int fd = uartcom_getfd(handle_);
    EXPECT_EQ(log.calls, (std::vector<std::pair<int, int>>{{fd, 0}, {fd, 1}}));
    const auto first = text.find("): rs482 callback read=0\n");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find("): rs482 callback read=1\n", first), std::string::npos) << text;
    EXPECT_EQ(text.find("TIOCMGET"), std::string::npos) << text;
    EXPECT_EQ(pty_.Receive(5, 1000), Bytes(frame, frame + 5));
}

// A pseudo-terminal has no modem lines, so only the trace lines around the
// send show the RTS switching.
TEST_F(UartIo, Rs485WithoutCallbackSwitchesRtsAroundTheSend) {
    uartcom_close(handle_);
    Open(1);
    const unsigned char frame[] = {1, 2, 3};
    qdtest::StdoutCapture out;
    EXPECT_EQ(uartcom_sendbuff(handle_, frame, 3), 3);
    const std::string text = out.Finish();
    const auto first = text.find("): rs482 TIOCMGET read=0\n");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find("): rs482 TIOCMGET read=1\n", first), std::string::npos) << text;
}
