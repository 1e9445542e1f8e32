// qdupk search, and rollout's search, across the virtual camera's link: the
// tool runs in the PC namespace, a stand-in responder in the device
// namespace answers on eth0 with good, duplicate and malformed answers, and
// one in the PC namespace answers from the PC's own addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "package_writer.h"
#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_wire.h"
#include "test_support.h"
#include "virtual_camera.h"

namespace qdtest {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

sockaddr_in Endpoint(const char* address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    (void)inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

// A UDP socket of the namespace, bound to the search port and joined to the
// group on the interface, as a camera's would be. Set up in a thread of its
// own: only that thread enters the namespace, the socket stays in it.
qd::UniqueFd ResponderSocket(const std::string& netNs, const char* ifname) {
    const qd::UniqueFd ns(open(("/run/netns/" + netNs).c_str(), O_RDONLY | O_CLOEXEC));
    int fd = -1;
    std::string error;
    std::thread([&] {
        // Nothing may be created before the thread is in the namespace.
        if (!ns.valid() || setns(ns.get(), CLONE_NEWNET) != 0) {
            error = "cannot enter the namespace";
            return;
        }
        qd::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ip_mreqn group{};
        (void)inet_pton(AF_INET, qd::kSearchGroup, &group.imr_multiaddr);
        group.imr_ifindex = static_cast<int>(if_nametoindex(ifname));
        const sockaddr_in local = Endpoint("0.0.0.0", qd::kSearchPort);
        if (!sock.valid() || group.imr_ifindex == 0 ||
            bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            setsockopt(sock.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 ||
            setsockopt(sock.get(), IPPROTO_IP, IP_MULTICAST_IF, &group, sizeof group) != 0) {
            error = std::strerror(errno);
            return;
        }
        fd = sock.release();
    }).join();
    if (fd < 0) {
        throw std::runtime_error("responder socket in " + netNs + ": " + error);
    }
    return qd::UniqueFd(fd);
}

std::vector<unsigned char> Reply(const std::vector<unsigned char>& search, const char* address,
                                 std::uint32_t port) {
    // Sized from the datagram's layout rather than copied whole: the writes
    // below then never depend on how much the search carried.
    std::vector<unsigned char> reply(qd::kSearchPacketSize);
    std::copy_n(search.begin(), std::min(search.size(), qd::kSearchPacketSize), reply.begin());
    qd::StoreLe32(reply.data() + 8, port);
    std::memcpy(reply.data() + 12, address, std::strlen(address) + 1);
    return reply;
}

struct Datagram {
    std::vector<unsigned char> bytes;
    sockaddr_in to;
};
// The datagrams that answer one search.
using AnswerScript = std::function<std::vector<Datagram>(const std::vector<unsigned char>&)>;

// Answers every search on its socket as the script says.
class StandInResponder {
  public:
    StandInResponder(qd::UniqueFd sock, AnswerScript script)
        : sock_(std::move(sock)), script_(std::move(script)) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~StandInResponder() {
        stop_ = true;
        thread_.join();
    }
    StandInResponder(const StandInResponder&) = delete;
    StandInResponder& operator=(const StandInResponder&) = delete;

    int Searches() const { return searches_.load(); }

  private:
    void Serve() {
        while (!stop_) {
            pollfd entry{sock_.get(), POLLIN, 0};
            std::vector<unsigned char> search(qd::kSearchPacketSize);
            if (poll(&entry, 1, 50) > 0 &&
                recv(sock_.get(), search.data(), search.size(), 0) == qd::kSearchPacketSize) {
                ++searches_;
                for (const Datagram& answer : script_(search)) {
                    (void)sendto(sock_.get(), answer.bytes.data(), answer.bytes.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&answer.to), sizeof answer.to);
                }
            }
        }
    }

    qd::UniqueFd sock_;
    AnswerScript script_;
    std::atomic<bool> stop_{false};
    std::atomic<int> searches_{0};
    std::thread thread_;
};

// A short datagram, an answer to some other search, an unterminated
// address, then two cameras' good answers (one of them twice), all to the
// group.
AnswerScript CameraAnswers(const std::string& address) {
    return [address](const std::vector<unsigned char>& search) {
        std::vector<unsigned char> foreign = Reply(search, "10.9.9.9", 80);
        foreign[4] ^= 0xFF;
        std::vector<unsigned char> unterminated = Reply(search, "10.9.9.8", 80);
        std::memset(unterminated.data() + 12, '7', 64);
        std::vector<unsigned char> shortOne = Reply(search, "10.9.9.7", 80);
        shortOne.pop_back();
        const std::vector<unsigned char> good = Reply(search, address.c_str(), 8080);
        const sockaddr_in group = Endpoint(qd::kSearchGroup, qd::kAnswerPort);
        std::vector<Datagram> answers;
        for (const auto& bytes :
             {shortOne, foreign, unterminated, good, good, Reply(search, "192.168.5.163", 9090)}) {
            answers.push_back({bytes, group});
        }
        return answers;
    };
}

CommandResult Search(const VirtualCamera& cam, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QDUPK_EXE, "search"};
    argv.insert(argv.end(), args.begin(), args.end());
    return cam.Pc(argv, Millis(20000));
}

TEST(SearchOnRig, ListsEachAnsweringCameraOnceAndIgnoresMalformedAnswers) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const CameraInfo& info = cam.info();
    StandInResponder responder(ResponderSocket(info.devNs, "eth0"), CameraAnswers(info.devAddr));

    CommandResult r = Search(cam, {"--interface", "pc0", "--timeout", "1", "--json"});
    EXPECT_EQ(r.status, 0) << r.output;
    // The address is where the answer came from, whatever it announced.
    const std::string source = "\"source\": \"" + info.devAddr + "\"}";
    EXPECT_EQ(r.output,
              "[{\"address\": \"" + info.devAddr + "\", \"announced\": \"" + info.devAddr +
                  "\", \"port\": 8080, " + source + ", {\"address\": \"" + info.devAddr +
                  "\", \"announced\": \"192.168.5.163\", \"port\": 9090, " + source + "]\n");

    // By the interface's address, and by the route to the group.
    for (const std::vector<std::string>& how :
         {std::vector<std::string>{"--interface", info.pcAddr}, std::vector<std::string>{}}) {
        std::vector<std::string> args = how;
        args.insert(args.end(), {"--timeout", "0.6"});
        r = Search(cam, args);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, "ADDRESS           PORT  ANNOUNCED\n")) << r.output;
        EXPECT_TRUE(Contains(r.output, info.devAddr + std::string(16 - info.devAddr.size(), ' ') +
                                           "  8080  " + info.devAddr + "\n"))
            << r.output;
    }
    // Sent once at the start and once more half-way, in every run.
    EXPECT_EQ(responder.Searches(), 6);
}

// Answers from 127.0.0.1 (to the answer port on loopback) and from the PC's
// own address (to the group, looped back), announcing the PC's address:
// uploads there would reach the PC's own services.
AnswerScript PcAnswers(const std::string& pcAddr) {
    return [pcAddr](const std::vector<unsigned char>& search) {
        const std::vector<unsigned char> answer = Reply(search, pcAddr.c_str(), 22);
        return std::vector<Datagram>{{answer, Endpoint("127.0.0.1", qd::kAnswerPort)},
                                     {answer, Endpoint(qd::kSearchGroup, qd::kAnswerPort)}};
    };
}

TEST(SearchOnRig, AnswersFromThisPcAreIgnoredAndCamerasBeyondTheLimitDropped) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const CameraInfo& info = cam.info();
    StandInResponder camera(ResponderSocket(info.devNs, "eth0"), CameraAnswers(info.devAddr));
    StandInResponder pc(ResponderSocket(info.pcNs, "pc0"), PcAnswers(info.pcAddr));

    const CommandResult r =
        Search(cam, {"--interface", "pc0", "--timeout", "1", "--json", "--max-answers", "1"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "[{\"address\": \"" + info.devAddr + "\", \"announced\": \"" +
                                       info.devAddr + "\", \"port\": 8080, \"source\": \"" +
                                       info.devAddr + "\"}]\n"))
        << r.output;
    EXPECT_EQ(pc.Searches(), 2);
    EXPECT_TRUE(Contains(r.output,
                         "qdupk search: warning: ignored 4 answers from addresses no "
                         "camera answers from, among them "))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "127.0.0.1 (loopback)")) << r.output;
    EXPECT_TRUE(Contains(r.output, info.pcAddr + " (an address of this PC)")) << r.output;
    // The other camera's answer to each of the two searches.
    EXPECT_TRUE(Contains(r.output,
                         "qdupk search: warning: kept only the first 1 camera; 2 more "
                         "answers dropped (see --max-answers)\n"))
        << r.output;
}

TEST(SearchOnRig, NoAnswerAndUnknownInterfacesHaveTheirOwnExitStatus) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    CommandResult r = Search(cam, {"--interface", "pc0", "--timeout", "0.3"});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_EQ(r.output, "qdupk search: no camera answered within 0.3 s\n");

    r = Search(cam, {"--interface", "pc0", "--timeout", "0.3", "--json"});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(Contains(r.output, "[]\n")) << r.output;

    r = Search(cam, {"--interface", "eth7"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output, "qdupk search: error: no interface named eth7\n");
    r = Search(cam, {"--interface", "10.254.254.254"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r.output, "no interface of this host has the address 10.254.254.254"))
        << r.output;
}

// A rollout's targets are where the answers came from: the camera that
// announces a fallback address is reached at its own, and the PC's answers
// are no targets.
TEST(SearchOnRig, RolloutSendsWhereTheAnswersCameFrom) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const CameraInfo& info = cam.info();
    StandInResponder camera(ResponderSocket(info.devNs, "eth0"), CameraAnswers(info.devAddr));
    StandInResponder pc(ResponderSocket(info.pcNs, "pc0"), PcAnswers(info.pcAddr));
    const ScratchDir dir;
    WriteFile(
        dir.file("fw.upg"),
        qdupk::BuildPackage({"fw", "1.0", "QUNDAR", {qdupk::DataItem(QDUPK_ITEM_FILE, "x")}}));

    const CommandResult r = cam.Pc({QDUPK_EXE, "rollout", dir.file("fw.upg"), "--search",
                                    "--interface", "pc0", "--search-timeout", "1", "--dry-run"},
                                   Millis(20000));
    EXPECT_EQ(r.status, 0) << r.output;
    // The dry run's probe is a search to each target's own address.
    EXPECT_TRUE(Contains(r.output, "\n2 targets\n1. " + info.devAddr + ":8080  answers\n2. " +
                                       info.devAddr + ":9090  answers\n"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk rollout: warning: " + info.devAddr +
                                       ":9090 announces 192.168.5.163; sending to the address "
                                       "its answer came from\n"))
        << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk rollout: warning: ignored 4 answers")) << r.output;
}

}  // namespace
}  // namespace qdtest
