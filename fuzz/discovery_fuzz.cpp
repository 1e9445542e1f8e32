// The discovery responder fed arbitrary datagrams. It answers by multicast,
// so the target first moves itself into a network namespace of its own
// (only "lo", up, with a route for the multicast range) and refuses to run
// anywhere else. Each input is sent to the search port on loopback and
// handled once; a listener on the group checks that exactly the valid
// searches are answered, and answered exactly: the search's bytes with the
// port at 8 and the fallback address text at 12 (there is no eth0 here).
// The MAC command that precedes such an answer (at most once in 2 s) is
// checked and not run. Datagrams that are no search go to a status
// responder, which must stay silent: without eth0 nobody is answered
// (fuzz/status_fuzz.cpp fuzzes its decisions).
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "camera_status.h"
#include "discovery.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "sandbox.h"
#include "scratch.h"
#include "status_responder.h"

namespace {

constexpr std::uint16_t kPort = 8080;
constexpr char kMac[] = "02:00:5e:10:00:01";
constexpr int kAnswerWaitMs = 2000;

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;
QDBOOT_CFG_T g_cfg{};
int g_responder = -1;
int g_listener = -1;
int g_sender = -1;
int g_macCommands = 0;
CameraStatus g_status{};
StatusResponder* g_statusResponder = nullptr;

// Only a search runs the MAC command, and at most once in 2 s: a search
// that comes later than that after the last one must run it.
void CheckMacCommands(bool search) {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point s_last;
    static bool s_ran = false;
    const Clock::time_point now = Clock::now();
    const bool due = !s_ran || now - s_last > std::chrono::milliseconds(2100);
    if (g_macCommands > (search ? 1 : 0) || (search && due && g_macCommands != 1)) {
        qdfuzz::Fail("MAC command count",
                     std::to_string(g_macCommands) + (s_ran ? " (ran before)" : " (first search)"));
    }
    if (g_macCommands == 1) {
        s_ran = true;
        s_last = now;
    }
}

int CountMacCommand(const std::string& command, const qdfuzz::Words& words) {
    if (command != std::string("ifconfig eth0 hw ether ") + kMac || !words.empty()) {
        qdfuzz::Fail("unexpected command", command);
    }
    ++g_macCommands;
    return 0;
}

sockaddr_in Address(const char* ip, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

void BringLoopbackUp(int sock) {
    ifreq request{};
    static_cast<void>(qd::CopyText(request.ifr_name, sizeof request.ifr_name, "lo"));  // fits
    if (ioctl(sock, SIOCGIFFLAGS, &request) != 0) {
        qdfuzz::Fail("SIOCGIFFLAGS lo", std::strerror(errno));
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(sock, SIOCSIFFLAGS, &request) != 0) {
        qdfuzz::Fail("SIOCSIFFLAGS lo", std::strerror(errno));
    }
}

void RouteMulticastToLoopback(int sock) {
    rtentry route{};
    const sockaddr_in dst = Address("224.0.0.0", 0);
    const sockaddr_in mask = Address("240.0.0.0", 0);
    std::memcpy(&route.rt_dst, &dst, sizeof dst);
    std::memcpy(&route.rt_genmask, &mask, sizeof mask);
    route.rt_flags = RTF_UP;
    char dev[] = "lo";
    route.rt_dev = dev;
    if (ioctl(sock, SIOCADDRT, &route) != 0) {
        qdfuzz::Fail("SIOCADDRT 224.0.0.0/4 dev lo", std::strerror(errno));
    }
}

// Everything this target sends stays in a namespace that dies with it.
void EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        qdfuzz::Fail("needs a network namespace of its own (run as root)", std::strerror(errno));
    }
    if (if_nametoindex("eth0") != 0) {
        qdfuzz::Fail("still sees eth0", "not in a private network namespace");
    }
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    BringLoopbackUp(sock);
    RouteMulticastToLoopback(sock);
    close(sock);
}

int OpenListener() {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Address("0.0.0.0", qd::kAnswerPort);
    ip_mreq join{};
    inet_pton(AF_INET, qd::kSearchGroup, &join.imr_multiaddr);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
        qdfuzz::Fail("answer listener", std::strerror(errno));
    }
    return sock;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

std::vector<std::uint8_t> ExpectedAnswer(const std::uint8_t* data) {
    std::vector<std::uint8_t> answer(data, data + qd::kSearchPacketSize);
    answer[8] = static_cast<std::uint8_t>(kPort);
    answer[9] = static_cast<std::uint8_t>(kPort >> 8);
    answer[10] = 0;
    answer[11] = 0;
    std::memcpy(&answer[12], kFallbackAddress, std::strlen(kFallbackAddress) + 1);
    return answer;
}

void CheckAnswer(const std::uint8_t* data) {
    if (!WaitReadable(g_listener, kAnswerWaitMs)) {
        qdfuzz::Fail("valid search not answered", "");
    }
    std::uint8_t answer[qd::kSearchPacketSize + 1];
    const ssize_t got = recv(g_listener, answer, sizeof answer, 0);
    const std::vector<std::uint8_t> expected = ExpectedAnswer(data);
    if (got != static_cast<ssize_t>(qd::kSearchPacketSize) ||
        std::memcmp(answer, expected.data(), expected.size()) != 0) {
        qdfuzz::Fail("wrong answer", std::to_string(got) + " bytes");
    }
}

void CheckNoStrayAnswer() {
    std::uint8_t answer[qd::kStatusQueryMaxSize];
    if (recv(g_listener, answer, sizeof answer, MSG_DONTWAIT) >= 0) {
        qdfuzz::Fail("answer to a datagram that was no search", "");
    }
    if (recv(g_sender, answer, sizeof answer, MSG_DONTWAIT) >= 0) {
        qdfuzz::Fail("status reply without eth0", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    EnterPrivateNetwork();
    g_scratch = new qdfuzz::Scratch("discovery");
    g_policy.scratchDir = g_scratch->dir();
    g_policy.onCommand = nullptr;  // the group must be joined without the route command
    g_cfg.nPort = kPort;
    static_cast<void>(qd::CopyText(g_cfg.szMacAddr, kMac));  // fits
    in_addr group{};
    inet_pton(AF_INET, qd::kSearchGroup, &group);
    {
        const qdfuzz::Confinement fence(g_policy);
        g_responder = ff_url_createmulticast(group.s_addr);
    }
    if (g_responder <= 0) {
        qdfuzz::Fail("cannot create the multicast socket", std::to_string(g_responder));
    }
    g_policy.onCommand = CountMacCommand;
    g_listener = OpenListener();
    g_sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    g_status = StartCameraStatus("fuzz", g_cfg, StatusConfig{}, 0);
    g_statusResponder = new StatusResponder(g_status);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckNoStrayAnswer();
    const sockaddr_in searchPort = Address("127.0.0.1", qd::kSearchPort);
    if (sendto(g_sender, data, size, 0, reinterpret_cast<const sockaddr*>(&searchPort),
               sizeof searchPort) != static_cast<ssize_t>(size)) {
        return 0;  // too large for one datagram
    }
    if (!WaitReadable(g_responder, kAnswerWaitMs)) {
        qdfuzz::Fail("datagram did not arrive", std::to_string(size));
    }
    g_macCommands = 0;
    {
        const qdfuzz::Confinement fence(g_policy);
        if (search_handle_datagram(g_responder, g_cfg, g_statusResponder) != g_responder) {
            qdfuzz::Fail("multicast socket replaced", "the answer could not be sent");
        }
    }
    const bool search = size >= qd::kSearchPacketSize && data[0] == 0x87 && data[1] == 0x43 &&
                        data[2] == 0x56 && data[3] == 0x12;
    CheckMacCommands(search);
    if (search) {
        CheckAnswer(data);
    }
    return 0;
}
