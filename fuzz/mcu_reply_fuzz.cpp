// The MCU updater against a loader that answers anything: the replies come
// from the fuzz input (fake_uartcom.h), so every reply the parser sees is
// hostile. Checked: every frame the host sends is well-formed and every
// data block carries the image's bytes for its sequence number; a transfer
// that reports success has sent the whole image and then the end request.
#include <cstdint>
#include <string>

#include "fake_uartcom.h"
#include "mdu_uptarm.h"
#include "sandbox.h"
#include "scratch.h"

namespace {

constexpr std::size_t kBlock = 1024;
constexpr std::size_t kLargestImage = 3100;  // up to four blocks
constexpr char kMainApp[] = "fuzzapp";
constexpr char kDevice[] = "/dev/null/ttyFUZZ";  // never opened: the line is fake

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;

const qdfuzz::Frame kResetFrame = {0xA0, 0x01, 0x00, 0x57, 0xAA, 0x00, 0xAF, 0xF3};
const qdfuzz::Frame kStartFrame = {0xA5, 0xF6, 0xAA, 0xF9, 0xAF};
const qdfuzz::Frame kEndFrame = {0xA5, 0xFA, 0x00, 0x5F, 0xAF};

int OnCommand(const std::string& command, const qdfuzz::Words& words) {
    if (command != std::string("killall ") + kMainApp || !words.empty()) {
        qdfuzz::Fail("unexpected command", command);
    }
    return 0;
}

std::uint8_t ImageByte(std::size_t i) {
    return static_cast<std::uint8_t>(i * 31 + 7);
}

std::uint8_t XorOf(const qdfuzz::Frame& f, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum ^= f[i];
    }
    return sum;
}

bool Sealed(const qdfuzz::Frame& f) {
    return f.size() >= 3 && f[0] == 0xA5 && f.back() == 0xAF &&
           f[f.size() - 2] == XorOf(f, f.size() - 2);
}

qdfuzz::Frame HeaderFrame(std::size_t imageSize) {
    const std::size_t blocks = imageSize / kBlock + 1;
    qdfuzz::Frame f = {0xA5,
                       0xF7,
                       static_cast<std::uint8_t>(blocks >> 8),
                       static_cast<std::uint8_t>(blocks),
                       static_cast<std::uint8_t>(imageSize >> 24),
                       static_cast<std::uint8_t>(imageSize >> 16),
                       static_cast<std::uint8_t>(imageSize >> 8),
                       static_cast<std::uint8_t>(imageSize),
                       0x0A};
    f.push_back(XorOf(f, f.size()));
    f.push_back(0xAF);
    return f;
}

// The sequence number of a correct data block, or 0.
std::size_t DataBlockSequence(const qdfuzz::Frame& f, std::size_t imageSize) {
    if (f.size() != kBlock + 6 || f[1] != 0xF8 || !Sealed(f)) {
        return 0;
    }
    const std::size_t sequence = static_cast<std::size_t>(f[2]) << 8 | f[3];
    const std::size_t first = (sequence - 1) * kBlock;
    if (sequence == 0 || first >= imageSize) {
        return 0;
    }
    for (std::size_t i = 0; i < kBlock; ++i) {
        const std::size_t at = first + i;
        if (f[4 + i] != (at < imageSize ? ImageByte(at) : 0x1A)) {
            return 0;
        }
    }
    return sequence;
}

void CheckFrames(const std::vector<qdfuzz::Frame>& sent, std::size_t imageSize, int result) {
    const qdfuzz::Frame header = HeaderFrame(imageSize);
    std::size_t lastSequence = 0;
    for (const qdfuzz::Frame& f : sent) {
        if (f == kResetFrame || f == kStartFrame || f == header || f == kEndFrame) {
            continue;
        }
        const std::size_t sequence = DataBlockSequence(f, imageSize);
        if (sequence == 0 || sequence < lastSequence || sequence > lastSequence + 1) {
            qdfuzz::Fail("malformed or out-of-order frame", std::to_string(f.size()) + " bytes");
        }
        lastSequence = sequence;
    }
    const std::size_t blocks = (imageSize + kBlock - 1) / kBlock;
    if (result == 0 && (sent.back() != kEndFrame || lastSequence != blocks)) {
        qdfuzz::Fail("success reported without the whole image", std::to_string(lastSequence));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    g_scratch = new qdfuzz::Scratch("mcu");
    g_policy.scratchDir = g_scratch->dir();
    g_policy.onCommand = OnCommand;
    return 0;
}

// Input: two bytes choose the image size (1 to 3100 bytes), the rest is the
// loader's reply script.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t imageSize =
        1 + (static_cast<std::size_t>(data[0]) << 8 | data[1]) % kLargestImage;
    std::vector<std::uint8_t> image(imageSize);
    for (std::size_t i = 0; i < imageSize; ++i) {
        image[i] = ImageByte(i);
    }
    const std::string path = g_scratch->file("mcu.bin");
    qdfuzz::WriteWholeFile(path, image.data(), image.size());
    qdfuzz::FakeUartScript(data + 2, size - 2);
    int result = -1;
    {
        const qdfuzz::Confinement fence(g_policy);
        result = mdu_updatearm(kDevice, 9, kMainApp, 1, path.c_str());
    }
    if (result != 0 && result != -1) {
        qdfuzz::Fail("result neither 0 nor -1", std::to_string(result));
    }
    CheckFrames(qdfuzz::FakeUartSent(), imageSize, result);
    return 0;
}
