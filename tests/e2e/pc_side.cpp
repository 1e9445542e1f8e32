#include "pc_side.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qd_bytes.h"
#include "qd_wire.h"
#include "test_support.h"

namespace qdtest {

namespace {

// The search group as /proc/net/igmp prints it (the address word in hex).
constexpr char kGroupInIgmp[] = "01C8C8EA";

sockaddr_in Address(const std::string& ip, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
        throw std::runtime_error("bad address " + ip);
    }
    return addr;
}

void Check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
}

bool WaitReadable(int fd, Millis timeout) {
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

std::string Framed(const std::string& package) {
    unsigned char header[8];
    qd::StoreBe32(header, qd::kUploadMagic);
    qd::StoreBe32(header + 4, static_cast<std::uint32_t>(package.size()));
    return std::string(reinterpret_cast<char*>(header), sizeof header) + package;
}

bool GroupJoined(const VirtualCamera& cam) {
    return cam.Dev({"cat", "/proc/net/igmp"}).output.find(kGroupInIgmp) != std::string::npos;
}

::testing::AssertionResult WaitServing(const VirtualCamera& cam, std::uint16_t port) {
    for (int i = 0; i < 100; ++i) {
        if (cam.Listening(port) && GroupJoined(cam)) {
            return ::testing::AssertionSuccess();
        }
        std::this_thread::sleep_for(Millis(100));
    }
    return ::testing::AssertionFailure() << "not serving on " << port << "; log:\n" << cam.Log();
}

qd::UniqueFd DevSocket(const VirtualCamera& cam, int type) {
    const std::string nsPath = "/run/netns/" + cam.info().devNs;
    const qd::UniqueFd ns(open(nsPath.c_str(), O_RDONLY | O_CLOEXEC));
    Check(ns.valid(), "open " + nsPath);
    int fd = -1;
    int error = 0;
    // Only this short-lived thread enters the namespace; the socket keeps it.
    std::thread([&] {
        if (setns(ns.get(), CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        }
        error = errno;
    }).join();
    errno = error;
    Check(fd >= 0, "socket in the device namespace");
    return qd::UniqueFd(fd);
}

pid_t DaemonPid(const VirtualCamera& cam) {
    const std::string daemon = VirtualCamera::DefaultDaemon();
    std::istringstream pids(
        RunCommand({"ip", "netns", "pids", cam.info().devNs}, Millis(5000)).output);
    char target[PATH_MAX];
    pid_t pid = 0;
    while (pids >> pid) {
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        const ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == daemon) {
            return pid;
        }
    }
    return -1;
}

UploadConnection::UploadConnection(const VirtualCamera& cam, std::uint16_t port)
    : sock_(cam.PcSocket(SOCK_STREAM)) {
    const sockaddr_in addr = Address(cam.info().devAddr, port);
    Check(connect(sock_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0,
          "connect");
}

void UploadConnection::Send(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(sock_.get(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        Check(n > 0, "send");
        at += static_cast<std::size_t>(n);
    }
}

bool UploadConnection::TrySend(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(sock_.get(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

UploadConnection::Reply UploadConnection::ReadUntilClosed(Millis timeout) {
    Reply reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[256];
    while (std::chrono::steady_clock::now() < deadline) {
        if (!WaitReadable(sock_.get(), Millis(50))) {
            continue;
        }
        const ssize_t n = recv(sock_.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            reply.closed = true;
            break;
        }
        reply.bytes.append(buf, static_cast<std::size_t>(n));
    }
    return reply;
}

SearchClient::SearchClient(const VirtualCamera& cam)
    : listen_(cam.PcSocket(SOCK_DGRAM)), send_(cam.PcSocket(SOCK_DGRAM)) {
    // Bound to the group: an answer sent anywhere else does not count.
    const sockaddr_in local = Address(qd::kSearchGroup, qd::kAnswerPort);
    Check(bind(listen_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0,
          "bind the answer port");
    ip_mreq join{};
    join.imr_multiaddr = Address(qd::kSearchGroup, 0).sin_addr;
    join.imr_interface = Address(cam.info().pcAddr, 0).sin_addr;
    Check(setsockopt(listen_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0,
          "join the group");
    const in_addr out = join.imr_interface;
    Check(setsockopt(send_.get(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0,
          "choose the outgoing interface");
}

void SearchClient::Send(const std::string& packet, const std::string& to) {
    const sockaddr_in dest = Address(to, qd::kSearchPort);
    Check(sendto(send_.get(), packet.data(), packet.size(), 0,
                 reinterpret_cast<const sockaddr*>(&dest),
                 sizeof dest) == static_cast<ssize_t>(packet.size()),
          "send the search");
}

std::optional<std::string> SearchClient::Receive(Millis timeout) {
    if (!WaitReadable(listen_.get(), timeout)) {
        return std::nullopt;
    }
    char buf[512];
    const ssize_t n = recv(listen_.get(), buf, sizeof buf, 0);
    Check(n >= 0, "receive an answer");
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string SearchPacket(std::uint32_t tag, std::size_t size) {
    std::string packet(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        packet[i] = static_cast<char>(0x40 + i % 64);
    }
    auto* bytes = reinterpret_cast<unsigned char*>(packet.data());
    qd::StoreLe32(bytes, qd::kSearchMagic);
    qd::StoreLe32(bytes + 4, tag);
    return packet;
}

}  // namespace qdtest
