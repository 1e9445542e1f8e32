// Serial handles on a pseudo-terminal: opening, line attributes and the
// validity mark.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "libuartcom.h"
#include "pty_pair.h"
#include "test_support.h"
#include "uartdef.h"

namespace {

// Raw words, as a C caller may pass them (out-of-range values included).
QD_COMMATTR_T Attr(std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t parity,
                   std::uint32_t baud) {
    const std::uint32_t words[4] = {dataBits, stopBits, parity, baud};
    QD_COMMATTR_T attr;
    static_assert(sizeof attr == sizeof words, "four words");
    std::memcpy(&attr, words, sizeof attr);
    return attr;
}

class UartHandle : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = uartcom_open(pty_.slavePath().c_str(), 0, nullptr);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override { EXPECT_EQ(uartcom_close(handle_), 0); }

    HUART_T* Record() const { return static_cast<HUART_T*>(handle_); }

    qdtest::PtyPair pty_;
    HUARTCOM handle_ = nullptr;
};

}  // namespace

TEST(UartOpen, MissingDeviceGivesNullCodeAndErrorLine) {
    qdtest::StdoutCapture out;
    int errNo = 0;
    EXPECT_EQ(uartcom_open("/nonexistent/ttyS9", 1, &errNo), nullptr);
    EXPECT_EQ(errNo, -1);
    EXPECT_EQ(uartcom_open("/nonexistent/ttyS9", 0, nullptr), nullptr);
    const std::string text = out.Finish();
    EXPECT_NE(text.find("ERROR(uartcom/src/libuartcom.cpp "), std::string::npos) << text;
    const std::string line = "): open serial port : /nonexistent/ttyS9 failed\n";
    const auto first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(line, first + 1), std::string::npos) << "one line per failed open";
}

TEST_F(UartHandle, FreshHandleIsRawNonBlocking9600And8N1) {
    EXPECT_GT(uartcom_getfd(handle_), 0);
    EXPECT_NE(fcntl(uartcom_getfd(handle_), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(Record()->maskid, static_cast<int>(0xFFCD1098u));
    EXPECT_EQ(Record()->m_commtype, UART_TYPE_RS232);
    EXPECT_EQ(Record()->m_isblock, 0);

    struct termios tio {};
    ASSERT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK | BRKINT), 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 255);

    const COMM_ATTR& cur = Record()->m_curarrti;
    EXPECT_EQ(cur.m_stopbit, 1);
    EXPECT_EQ(cur.m_databit, 8);
    EXPECT_EQ(cur.m_parity, 0);
    EXPECT_EQ(cur.m_baudrate, QD_COMM_BITRATE_9600);
}

TEST_F(UartHandle, BlockingModeSwitchesTheDescriptor) {
    const int fd = uartcom_getfd(handle_);
    EXPECT_EQ(uartcom_setblock(handle_, 1), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(Record()->m_isblock, 1);
    EXPECT_EQ(uartcom_setblock(handle_, 0), 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

// The baud rate is checked before the data bits, those before the stop bits,
// those before the parity; a refused request changes nothing.
TEST_F(UartHandle, AttributeChecksGiveTheirCodesInOrder) {
    const tcflag_t before = Record()->m_newtio.c_cflag;
    QD_COMMATTR_T attr = Attr(8, 1, 0, QD_COMM_BITRATE_NUMS);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -2);
    attr = Attr(9, 1, 0, 0xFFFFFFFFu);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -2);
    attr = Attr(9, 3, 3, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -3);
    attr = Attr(4, 1, 0, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -3);
    attr = Attr(8, 3, 3, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -4);
    attr = Attr(8, 0, 0, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -4);
    attr = Attr(8, 2, 3, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -5);
    attr = Attr(8, 2, 0xFFFFFFFFu, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), -5);
    EXPECT_EQ(uartcom_setattri(handle_, nullptr), -1);

    EXPECT_EQ(Record()->m_newtio.c_cflag, before);
    EXPECT_EQ(Record()->m_curarrti.m_baudrate, QD_COMM_BITRATE_9600);
}

TEST_F(UartHandle, AttributesRebuildTheControlFlags) {
    const QD_COMMATTR_T attr = Attr(7, 2, QD_COMM_PARITY_ODD, QD_COMM_BITRATE_115200);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), 0);
    EXPECT_EQ(Record()->m_newtio.c_cflag,
              static_cast<tcflag_t>(B115200 | CLOCAL | CREAD | CS7 | PARENB | PARODD | CSTOPB));
    EXPECT_EQ(Record()->m_curarrti.m_databit, 7);
    EXPECT_EQ(Record()->m_curarrti.m_stopbit, 2);
    EXPECT_EQ(Record()->m_curarrti.m_parity, 1);
    EXPECT_EQ(Record()->m_curarrti.m_baudrate, QD_COMM_BITRATE_115200);

    const QD_COMMATTR_T even = Attr(5, 1, QD_COMM_PARITY_EVEN, QD_COMM_BITRATE_300);
    EXPECT_EQ(uartcom_setattri(handle_, &even), 0);
    EXPECT_EQ(Record()->m_newtio.c_cflag,
              static_cast<tcflag_t>(B300 | CLOCAL | CREAD | CS5 | PARENB));
}

// The second identical request must not touch the line: a speed changed
// behind the library's back survives it.
TEST_F(UartHandle, RepeatedIdenticalAttributesApplyNothing) {
    const QD_COMMATTR_T attr = Attr(8, 1, 0, QD_COMM_BITRATE_57600);
    ASSERT_EQ(uartcom_setattri(handle_, &attr), 0);
    struct termios tio {};
    ASSERT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));

    cfsetospeed(&tio, B1200);
    cfsetispeed(&tio, B1200);
    ASSERT_EQ(tcsetattr(pty_.slave(), TCSANOW, &tio), 0);
    EXPECT_EQ(uartcom_setattri(handle_, &attr), 0);
    ASSERT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1200));
}

TEST_F(UartHandle, LockAndCallbackRegistrationStoreWhatTheyAreGiven) {
    EXPECT_EQ(uartcom_lock(handle_, 1), 0);
    EXPECT_NE(pthread_mutex_trylock(&Record()->m_hmutex), 0);
    EXPECT_EQ(uartcom_lock(handle_, 0), 0);
    ASSERT_EQ(pthread_mutex_trylock(&Record()->m_hmutex), 0);
    pthread_mutex_unlock(&Record()->m_hmutex);

    int context = 0;
    auto readFb = [](int, void*) { return 0; };
    auto stateFb = [](int, int, void*) { return 0; };
    EXPECT_EQ(uartcom_regreadfb(handle_, readFb, &context), 0);
    EXPECT_EQ(uartcom_regrs485ctrlfb(handle_, stateFb, &context), 0);
    EXPECT_NE(Record()->fdReadDataFd, nullptr);
    EXPECT_EQ(Record()->pContextReadData, &context);
    EXPECT_EQ(Record()->pContextStatCtrl, &context);
    EXPECT_EQ(uartcom_regreadfb(handle_, nullptr, nullptr), 0);
    EXPECT_EQ(uartcom_regrs485ctrlfb(handle_, nullptr, nullptr), 0);
    EXPECT_EQ(Record()->fdReadDataFd, nullptr);
    EXPECT_EQ(Record()->fdStateCtrlFb, nullptr);
}

// Null and a record without the mark are refused by every call; only the
// send and the receive say so.
TEST(UartInvalidHandle, EveryCallRefusesNullAndAWrongMark) {
    int fake[256] = {0x12345678};
    for (HUARTCOM bad : {static_cast<HUARTCOM>(nullptr), static_cast<HUARTCOM>(fake)}) {
        qdtest::StdoutCapture out;
        const QD_COMMATTR_T attr = Attr(8, 1, 0, QD_COMM_BITRATE_9600);
        unsigned char buf[4] = {1, 2, 3, 4};
        EXPECT_EQ(uartcom_close(bad), -1);
        EXPECT_EQ(uartcom_getfd(bad), -1);
        EXPECT_EQ(uartcom_setattri(bad, &attr), -1);
        EXPECT_EQ(uartcom_lock(bad, 1), -1);
        EXPECT_EQ(uartcom_regrs485ctrlfb(bad, nullptr, nullptr), -1);
        EXPECT_EQ(uartcom_regreadfb(bad, nullptr, nullptr), -1);
        EXPECT_EQ(uartcom_setblock(bad, 1), -1);
        EXPECT_EQ(uartcom_sendrecv(bad, buf, 4, buf, 4, 10), -1);
        EXPECT_EQ(uartcom_cleanreadbuff(bad), -1);
        EXPECT_EQ(out.Finish(), "");

        qdtest::StdoutCapture lines;
        EXPECT_EQ(uartcom_sendbuff(bad, buf, 4), -1);
        EXPECT_EQ(uartcom_recvbuff(bad, buf, 4, 10), -1);
        const std::string text = lines.Finish();
        const auto first = text.find("): invalid handle\n");
        ASSERT_NE(first, std::string::npos) << text;
        EXPECT_NE(text.find("): invalid handle\n", first + 1), std::string::npos) << text;
        EXPECT_EQ(text.rfind("ERROR(uartcom/src/", 0), 0u) << text;
    }
    EXPECT_EQ(fake[0], 0x12345678);
}

// A session leader without a terminal (a daemon) that opens a terminal
// device acquires it unless told not to; the line must also not leak into
// the programs the caller runs.
TEST(UartOpen, LineIsCloseOnExecAndNeverTheControllingTerminal) {
    qdtest::PtyPair pty;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setsid() < 0) {
            _exit(2);
        }
        HUARTCOM handle = uartcom_open(pty.slavePath().c_str(), 0, nullptr);
        if (handle == nullptr) {
            _exit(3);
        }
        if ((fcntl(uartcom_getfd(handle), F_GETFD) & FD_CLOEXEC) == 0) {
            _exit(4);
        }
        _exit(open("/dev/tty", O_RDWR) < 0 ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: not opened, 4: inherited by children, 5: controlling";
}
