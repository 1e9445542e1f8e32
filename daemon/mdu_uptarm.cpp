// MCU firmware transfer over the dome head's serial line. The loader on the
// MCU answers every host frame with one short reply; each phase repeats its
// frame a fixed number of times until the expected reply comes.
#include "mdu_uptarm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "QDComm.h"
#include "libuartcom.h"
#include "qd_bytes.h"
#include "qd_mcu_frame.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "shell_command.h"

// The line to the MCU, kept open until the device reboots (or the next
// update opens it anew) so the reset before the reboot can use it.
static HUARTCOM s_pCamUart = nullptr;

namespace {

using namespace qd::mcu;

constexpr unsigned char kResetAddress = 0x01;

// Frame sizes as the serial library counts them.
constexpr int kResetSize = static_cast<int>(kResetFrameSize);
constexpr int kBlockData = static_cast<int>(kBlockDataSize);
constexpr int kBlockOffset = static_cast<int>(kBlockDataOffset);
constexpr int kReplyBytes = static_cast<int>(kReplySize);
constexpr int kReplyBufferSize = 30;
constexpr int kCommandSize = 128;

// The blocks-left counter is a signed 16-bit number: a larger announced
// count would wrap it negative (from just under 32 MiB on).
constexpr std::int64_t kMaxBlockCount = INT16_MAX;

constexpr int kPauseAfterKillMs = 500;
constexpr int kPauseAfterSetupMs = 100;
constexpr int kPauseAfterResetMs = 100;
constexpr int kPauseBetweenMs = 20;
constexpr int kPauseBeforeEndMs = 500;

struct PhaseRule {
    int attempts;
    int timeoutMs;
};
constexpr PhaseRule kResetPhase = {20, 500};
constexpr PhaseRule kStartPhase = {10, 10000};
constexpr PhaseRule kHeaderPhase = {10, 10000};
constexpr PhaseRule kDataPhase = {10, 20000};
constexpr PhaseRule kEndPhase = {2, 10000};

struct Transfer {
    HUARTCOM hUart;
    unsigned char tx[kBlockFrameSize];
    unsigned char rx[kReplyBufferSize];
};

struct Reply {
    unsigned char code;
    unsigned char status;
};

void PauseMs(int ms) noexcept {
    struct timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

unsigned char XorOf(const unsigned char* bytes, int count) noexcept {
    unsigned char sum = 0;
    for (int i = 0; i < count; ++i) {
        sum ^= bytes[i];
    }
    return sum;
}

int BuildResetFrame(unsigned char* tx, unsigned char address) noexcept {
    tx[0] = kResetStart;
    tx[1] = address;
    std::memcpy(tx + 2, kResetBody, sizeof kResetBody);
    tx[kResetSize - 2] = kFrameEnd;
    tx[kResetSize - 1] = XorOf(tx, kResetSize - 1);
    return kResetSize;
}

// Loader frames end in the XOR of everything before it, then the end byte.
int SealLoaderFrame(unsigned char* tx, int checksumOffset) noexcept {
    tx[checksumOffset] = XorOf(tx, checksumOffset);
    tx[checksumOffset + 1] = kFrameEnd;
    return checksumOffset + 2;
}

int BuildShortRequest(unsigned char* tx, unsigned char code, unsigned char payload) noexcept {
    tx[0] = kFrameStart;
    tx[1] = code;
    tx[2] = payload;
    return SealLoaderFrame(tx, 3);
}

int BuildImageHeader(unsigned char* tx, std::uint16_t blockCount, std::uint32_t size) noexcept {
    tx[0] = kFrameStart;
    tx[1] = kCodeHeader;
    qd::StoreBe16(tx + 2, blockCount);
    qd::StoreBe32(tx + 4, size);
    tx[kHeaderMarkOffset] = kHeaderMark;
    return SealLoaderFrame(tx, kHeaderMarkOffset + 1);
}

// The block's data already sits at offsets 4 to 1027.
int SealDataBlock(unsigned char* tx, std::uint16_t sequence) noexcept {
    tx[0] = kFrameStart;
    tx[1] = kCodeData;
    qd::StoreBe16(tx + 2, sequence);
    return SealLoaderFrame(tx, kBlockOffset + kBlockData);
}

}  // namespace

// A reply may be preceded by up to three stray bytes; it starts at the first
// 0xA5 among positions 0 to 3, else at position 4.
static int domeupt_analysis_recv(const unsigned char* pRecv, unsigned char* pCode,
                                 unsigned char* pStatus) noexcept {
    int start = 0;
    while (start < 4 && pRecv[start] != kFrameStart) {
        ++start;
    }
    const unsigned char* reply = pRecv + start;
    if (reply[3] != (reply[0] ^ reply[1] ^ reply[2])) {
        return -1;
    }
    *pCode = reply[1];
    *pStatus = reply[2];
    return 0;
}

namespace {

// One attempt: discard stale input, send, wait for a reply. True when a
// valid reply came. The reply area is cleared first so a short reply is
// never completed by bytes of the previous one.
bool Attempt(Transfer* t, int frameSize, int timeoutMs, Reply* reply) noexcept {
    // How much stale input there was does not matter.
    static_cast<void>(uartcom_cleanreadbuff(t->hUart));
    // A frame that did not go out whole draws no valid reply, so the wait
    // below counts it as a failed attempt.
    static_cast<void>(uartcom_sendbuff(t->hUart, t->tx, frameSize));
    std::memset(t->rx, 0, kReplySize);
    const int got = uartcom_recvbuff(t->hUart, t->rx, kReplyBytes, timeoutMs);
    return got >= 1 && domeupt_analysis_recv(t->rx, &reply->code, &reply->status) == 0;
}

bool IsResetReply(const Reply& r) noexcept {
    return r.code == kReplyReset;
}
bool IsStartReply(const Reply& r) noexcept {
    return r.code == kReplyStart;
}
bool IsAccepted(const Reply& r) noexcept {
    return r.code == kReplyAck && r.status == kStatusAccepted;
}

// The reset, start and header phases: every failed attempt is followed by
// the same short pause.
bool RunPhase(Transfer* t, int frameSize, const PhaseRule& rule,
              bool (*accepts)(const Reply&)) noexcept {
    for (int i = 0; i < rule.attempts; ++i) {
        Reply reply = {};
        if (Attempt(t, frameSize, rule.timeoutMs, &reply) && accepts(reply)) {
            PauseMs(kPauseBetweenMs);
            return true;
        }
        PauseMs(kPauseBetweenMs);
    }
    return false;
}

bool OpenLoader(Transfer* t, unsigned char address, std::uint16_t blockCount,
                std::uint32_t imageSize) noexcept {
    if (!RunPhase(t, BuildResetFrame(t->tx, address), kResetPhase, IsResetReply)) {
        return false;
    }
    if (!RunPhase(t, BuildShortRequest(t->tx, kCodeStart, kStartPayload), kStartPhase,
                  IsStartReply)) {
        return false;
    }
    return RunPhase(t, BuildImageHeader(t->tx, blockCount, imageSize), kHeaderPhase, IsAccepted);
}

enum class BlockOutcome { kAccepted, kFailed, kAborted };

// A refusal is retried at once; silence, garbage or an unknown code after a
// short pause; an abort ends the transfer.
BlockOutcome SendBlock(Transfer* t, int frameSize) noexcept {
    for (int i = 0; i < kDataPhase.attempts; ++i) {
        Reply reply = {};
        if (Attempt(t, frameSize, kDataPhase.timeoutMs, &reply)) {
            if (IsAccepted(reply)) {
                return BlockOutcome::kAccepted;
            }
            if (reply.code == kReplyAck) {
                continue;
            }
            if (reply.code == kReplyAbort) {
                return BlockOutcome::kAborted;
            }
        }
        PauseMs(kPauseBetweenMs);
    }
    return BlockOutcome::kFailed;
}

// Reads the next block's data into the frame; 0 bytes at the end of the file.
ssize_t ReadBlockData(Transfer* t, int fd, std::int32_t* bytesLeft) noexcept {
    std::size_t want = static_cast<std::size_t>(*bytesLeft);
    if (*bytesLeft > kBlockData) {
        *bytesLeft -= kBlockData;
        want = kBlockData;
    }
    const ssize_t got = read(fd, t->tx + kBlockOffset, want);
    if (got > 0 && got < kBlockData) {
        std::memset(t->tx + kBlockOffset + got, kFillByte,
                    static_cast<std::size_t>(kBlockData - got));
    }
    return got;
}

// The announced block count is one more than the full blocks when the size
// is a multiple of 1024; the end of the file then closes the phase.
bool SendImage(Transfer* t, int fd, std::int16_t blocksLeft, std::int32_t bytesLeft) noexcept {
    std::uint16_t sequence = 1;
    while (blocksLeft != 0) {
        const ssize_t got = ReadBlockData(t, fd, &bytesLeft);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return blocksLeft <= 1;
        }
        if (SendBlock(t, SealDataBlock(t->tx, sequence)) != BlockOutcome::kAccepted) {
            return false;
        }
        ++sequence;
        if (blocksLeft > 0) {
            --blocksLeft;
            PauseMs(kPauseBetweenMs);
        }
    }
    return true;
}

// A refusal counts as a failed attempt without a pause; silence or garbage
// is followed by the short pause.
int FinishTransfer(Transfer* t) noexcept {
    PauseMs(kPauseBeforeEndMs);
    const int frameSize = BuildShortRequest(t->tx, kCodeEnd, kEndPayload);
    for (int i = 0; i < kEndPhase.attempts; ++i) {
        Reply reply = {};
        if (Attempt(t, frameSize, kEndPhase.timeoutMs, &reply)) {
            if (IsAccepted(reply)) {
                return 0;
            }
            continue;
        }
        PauseMs(kPauseBetweenMs);
    }
    return -1;
}

// The image size as the loader sees it, or -1 when the file cannot be sent:
// missing, empty, or too large for the 16-bit block counters.
std::int32_t ImageSize(const char* szFilePath) noexcept {
    struct stat st = {};
    if (stat(szFilePath, &st) != 0) {
        return -1;
    }
    const auto size = static_cast<std::int64_t>(st.st_size);
    if (size <= 0 || size / kBlockData + 1 > kMaxBlockCount) {
        return -1;
    }
    return static_cast<std::int32_t>(size);
}

}  // namespace

static int dome_upgrade(HUARTCOM hUart, int nAddr, const char* szFilePath) noexcept {
    const std::int32_t imageSize = ImageSize(szFilePath);
    if (imageSize < 0) {
        return -1;
    }
    const int blockCount = imageSize / kBlockData + 1;
    Transfer t = {};
    t.hUart = hUart;
    if (!OpenLoader(&t, static_cast<unsigned char>(nAddr), static_cast<std::uint16_t>(blockCount),
                    static_cast<std::uint32_t>(imageSize))) {
        return -1;
    }
    qd::UniqueFd file(open(szFilePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        return -1;
    }
    if (!SendImage(&t, file.get(), static_cast<std::int16_t>(blockCount), imageSize)) {
        return -1;
    }
    file.reset();
    return FinishTransfer(&t);
}

namespace {

// The application is stopped by name; a name cut to fit the command could
// stop some other process, so such a name is refused instead.
bool StopMainApplication(const char* szMainApp) noexcept {
    if (szMainApp == nullptr || szMainApp[0] == '\0') {
        return true;
    }
    char command[kCommandSize];
    if (!qd::FormatText(command, sizeof command, "killall %s", szMainApp)) {
        return false;
    }
    // killall fails when the application is not running, which is fine.
    static_cast<void>(qd::RunCommand(command));
    return true;
}

// Holds the line's lock for a scope, so no path leaves it taken. A lock
// that could not be taken is not released.
class LineLock {
  public:
    explicit LineLock(HUARTCOM hUart) noexcept
        : hUart_(hUart), locked_(uartcom_lock(hUart, 1) == 0) {}
    ~LineLock() {
        if (locked_) {
            // Fails only for a handle that is not valid, and this one was
            // locked.
            static_cast<void>(uartcom_lock(hUart_, 0));
        }
    }
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;

  private:
    HUARTCOM hUart_;
    bool locked_;
};

QD_COMMATTR_T LineAttributes(int emBaudRate) noexcept {
    QD_COMMATTR_T attr = {};
    attr.emDataBit = QD_COMM_DATATBIT8;
    attr.emStopBit = QD_COMM_STOPBIT1;
    attr.emParity = QD_COMM_PARITY_NONE;
    // Stored as a raw word: an out-of-range value is the library's to refuse.
    const auto raw = static_cast<std::uint32_t>(emBaudRate);
    std::memcpy(&attr.emBaudRate, &raw, sizeof raw);
    return attr;
}

}  // namespace

extern "C" {

int mdu_updatearm(const char* szDevName, int emBaudRate, const char* szMainApp, int nAddr,
                  const char* szFilePath) noexcept {
    if (szDevName == nullptr || szFilePath == nullptr) {
        return -1;
    }
    const QD_COMMATTR_T attr = LineAttributes(emBaudRate);
    if (!StopMainApplication(szMainApp)) {
        return -1;
    }
    PauseMs(kPauseAfterKillMs);
    // The line of an earlier update is closed once the new one is open
    // (never before, so the device is not hung up in between); otherwise
    // every MCU item of every upload would leave a descriptor behind.
    HUARTCOM previous = s_pCamUart;
    s_pCamUart = uartcom_open(szDevName, 0, nullptr);
    if (previous != nullptr) {
        uartcom_close(previous);
    }
    if (s_pCamUart == nullptr) {
        return -1;
    }
    // A driver that refuses part of the settings may still run at the rate
    // asked for; the loader's answer to the reset phase tells.
    static_cast<void>(uartcom_setattri(s_pCamUart, &attr));
    PauseMs(kPauseAfterSetupMs);
    // The transfer's reset phase repeats this frame until the loader
    // answers, and fails when it never does.
    static_cast<void>(mdu_arm_reset());
    return dome_upgrade(s_pCamUart, nAddr, szFilePath);
}

int mdu_arm_reset(void) noexcept {
    if (s_pCamUart == nullptr) {
        return -1;
    }
    unsigned char frame[kResetFrameSize];
    const int frameSize = BuildResetFrame(frame, kResetAddress);
    bool sent = false;
    {
        const LineLock lock(s_pCamUart);
        sent = uartcom_sendbuff(s_pCamUart, frame, frameSize) == frameSize;
    }
    PauseMs(kPauseAfterResetMs);
    return sent ? 0 : -1;
}

}  // extern "C"
