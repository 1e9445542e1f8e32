// The serial functions the MCU updater calls, answered from a script.
#include "fake_uartcom.h"

#include <algorithm>
#include <cstring>

#include "libuartcom.h"

namespace qdfuzz {

namespace {

constexpr int kReplyLengths = 6;

struct FakeLine {
    const std::uint8_t* script = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::vector<Frame> sent;
};

FakeLine g_line;
int g_handleMark;  // the handle is its address; nothing is allocated

}  // namespace

void FakeUartScript(const std::uint8_t* script, std::size_t size) {
    g_line.script = script;
    g_line.size = size;
    g_line.pos = 0;
    g_line.sent.clear();
}

const std::vector<Frame>& FakeUartSent() {
    return g_line.sent;
}

}  // namespace qdfuzz

using qdfuzz::g_line;

extern "C" {

HUARTCOM uartcom_open(const char* /*szDevName*/, int /*bIsRs485*/, int* /*pErrNo*/) noexcept {
    return &qdfuzz::g_handleMark;
}

int uartcom_close(HUARTCOM /*hUartCom*/) noexcept {
    return 0;
}

int uartcom_setattri(HUARTCOM /*hUartCom*/, const QD_COMMATTR_T* /*pComAttr*/) noexcept {
    return 0;
}

int uartcom_lock(HUARTCOM /*hUartCom*/, int /*bLock*/) noexcept {
    return 0;
}

int uartcom_cleanreadbuff(HUARTCOM /*hUartCom*/) noexcept {
    return 0;
}

int uartcom_sendbuff(HUARTCOM /*hUartCom*/, const unsigned char* pBuffer, int size) noexcept {
    g_line.sent.emplace_back(pBuffer, pBuffer + size);
    return size;
}

int uartcom_recvbuff(HUARTCOM /*hUartCom*/, unsigned char* pRecv, int RecvLen,
                     int /*recvtimeout*/) noexcept {
    if (g_line.pos >= g_line.size) {
        return 0;
    }
    const std::size_t wanted = g_line.script[g_line.pos++] % qdfuzz::kReplyLengths;
    const std::size_t n = std::min(
        {wanted, static_cast<std::size_t>(std::max(RecvLen, 0)), g_line.size - g_line.pos});
    std::memcpy(pRecv, g_line.script + g_line.pos, n);
    g_line.pos += n;
    return static_cast<int>(n);
}

}  // extern "C"
