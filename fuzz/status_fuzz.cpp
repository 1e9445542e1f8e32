// The status query's decision and reply fed arbitrary datagrams, origins,
// subnets, status records and times, without sockets: each input's first
// kHeader bytes say where the datagram came from and went to, eth0's
// subnet and how much time has passed; the rest is the datagram. Checked:
// a reply only for an answerable query, never larger than its query,
// carrying its nonce and nothing of a full answer at basic detail, and no
// more than the limit in any window, over the whole run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "camera_status.h"
#include "qd_bytes.h"
#include "qd_status.h"
#include "sandbox.h"
#include "status_responder.h"

namespace {

constexpr std::size_t kHeader = 18;

StatusRateLimit g_limit;
long long g_nowMs = 0;
std::deque<long long> g_replies;

std::uint32_t Netmask(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (32U - prefix);
}

// Mostly senders on the subnet and queries to eth0, or nothing would pass.
DatagramOrigin OriginOf(const std::uint8_t* h, const EthSubnet& eth) {
    DatagramOrigin origin{};
    const std::uint32_t bits = qd::LoadLe32(h + 8);
    origin.sender = (h[0] & 4U) != 0 ? (eth.address & eth.netmask) | (bits & ~eth.netmask) : bits;
    origin.senderPort = static_cast<std::uint16_t>(h[2] | h[3] << 8U);
    origin.destination = (h[0] & 2U) != 0 ? eth.address : qd::LoadLe32(h + 12);
    origin.destinationKnown = (h[0] & 1U) != 0;
    return origin;
}

// A record as the daemon keeps it: every text terminated.
template <std::size_t N>
void Terminate(char (&text)[N]) {
    text[N - 1] = '\0';
}

CameraStatus StatusOf(const std::uint8_t* h, const std::uint8_t* data, std::size_t size) {
    CameraStatus status{};
    status.full = (h[0] & 8U) != 0;
    status.view = static_cast<JournalView>((h[0] >> 4U) % 3U);
    status.recovery = (h[0] & 0x40U) != 0;
    std::memcpy(&status.journal, data, std::min(size, sizeof status.journal));
    Terminate(status.journal.state);
    Terminate(status.journal.pkg);
    Terminate(status.journal.name);
    Terminate(status.journal.version);
    status.slot = static_cast<char>(h[1]);
    std::memcpy(status.lastText, data, std::min(size, sizeof status.lastText));
    Terminate(status.lastText);
    return status;
}

void CheckLimit() {
    g_replies.push_back(g_nowMs);
    while (g_nowMs - g_replies.front() >= kStatusWindowMs) {
        g_replies.pop_front();
    }
    if (g_replies.size() > kStatusRepliesPerWindow) {
        qdfuzz::Fail("rate limit", std::to_string(g_replies.size()) + " replies in a window");
    }
}

void CheckReply(const unsigned char* reply, const std::uint8_t* query, bool full) {
    qd::StatusReport report;
    std::uint32_t nonce = 0;
    if (!qd::DecodeStatusReply(reply, qd::kStatusReplySize, &report, &nonce) ||
        nonce != qd::LoadLe32(query + qd::kStatusNonceOffset)) {
        qdfuzz::Fail("reply", "does not decode or lost the nonce");
    }
    for (std::size_t i = qd::kStatusCounterOffset; !full && i < qd::kStatusReplySize; ++i) {
        if (reply[i] != 0) {
            qdfuzz::Fail("basic reply", "a full field at " + std::to_string(i) + " is not zero");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) {
        return 0;
    }
    const std::uint8_t* h = data;
    const std::uint32_t netmask = Netmask(h[1] % 33U);
    const EthSubnet eth = {qd::LoadLe32(h + 4), netmask};
    const DatagramOrigin origin = OriginOf(h, eth);
    g_nowMs += static_cast<unsigned>(h[16] | h[17] << 8U) % 1500U;
    const std::uint8_t* datagram = data + kHeader;
    const std::size_t length = size - kHeader;
    const CameraStatus status = StatusOf(h, datagram, length);
    unsigned char reply[qd::kStatusReplySize];
    const bool answerable = StatusQueryAnswerable(datagram, length, origin, eth);
    const std::size_t sent =
        PlanStatusReply(datagram, length, origin, eth, g_limit, status, g_nowMs, reply);
    if (sent == 0) {
        return 0;
    }
    if (!answerable || sent != qd::kStatusReplySize || sent > length) {
        qdfuzz::Fail("reply to a datagram that must not get one", std::to_string(length));
    }
    CheckReply(reply, datagram, status.full);
    CheckLimit();
    return 0;
}
