// A serial library stand-in for fuzzing the MCU updater: no device, every
// frame sent is recorded, and each receive takes its reply from a script
// (the fuzz input) instead of waiting on a line.
#ifndef QD_FUZZ_FAKE_UARTCOM_H
#define QD_FUZZ_FAKE_UARTCOM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qdfuzz {

using Frame = std::vector<std::uint8_t>;

// Script of replies: each receive takes one length byte (taken modulo 6;
// 0 is a time-out) and then that many reply bytes; an exhausted script
// times out. Clears the frames recorded so far.
void FakeUartScript(const std::uint8_t* script, std::size_t size);

const std::vector<Frame>& FakeUartSent();

}  // namespace qdfuzz

#endif  // QD_FUZZ_FAKE_UARTCOM_H
