// Socket helpers shared by the upload benchmark's client and its
// plain-tools floor receiver: the 8-byte upload header and acknowledgement,
// whole sends, and the connect and accept they start with.
#ifndef QD_BENCH_NET_H
#define QD_BENCH_NET_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qd_owners.h"
#include "qd_wire.h"

namespace qdbench {

// Header and acknowledgement have the same shape: the magic, then the
// length or the result, big-endian.
static_assert(qd::kUploadHeaderSize == qd::kUploadAckSize, "one buffer size for both");

// Magic and length (or result), big-endian.
void StoreHeader(unsigned char* out, std::uint32_t word);
// The declared length, or -1 when the magic is wrong.
long long HeaderLength(const unsigned char* header);
bool IsAck(const unsigned char* ack);

bool SendAll(int fd, const void* data, std::size_t size);
// Fills `size` bytes; false on end of stream or error.
bool ReceiveAll(int fd, void* data, std::size_t size);

// Connects to host:port, retrying a refused connect for up to waitSeconds;
// *start is set just before the attempt that succeeded.
qd::UniqueFd ConnectWithRetry(const char* host, const char* port, int waitSeconds,
                              std::chrono::steady_clock::time_point* start);
// A listening TCP socket on every local address.
qd::UniqueFd Listen(const char* port);

}  // namespace qdbench

#endif  // QD_BENCH_NET_H
