#include "status_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "search_socket.h"

namespace qdupk {

namespace {

using Clock = std::chrono::steady_clock;

// Each silent camera gets this many queries within the time-out.
constexpr int kSends = 3;
constexpr int kMaxRepliesAtOnce = 256;

std::optional<sockaddr_in> CameraEndpoint(const std::string& address) {
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_port = htons(qd::kSearchPort);
    if (inet_pton(AF_INET, address.c_str(), &camera.sin_addr) != 1) {
        return std::nullopt;
    }
    return camera;
}

// Reads one datagram; false when none waited. `answer` holds it when it is
// a reply from a camera's search port carrying `nonce`.
bool ReceiveOne(int fd, std::uint32_t nonce, std::optional<StatusAnswer>& answer) {
    answer.reset();
    unsigned char buffer[qd::kStatusQueryMaxSize];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t size = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (size < 0) {
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    StatusAnswer got;
    std::uint32_t echoed = 0;
    if (ntohs(from.sin_port) != qd::kSearchPort ||
        !qd::DecodeStatusReply(buffer, static_cast<std::size_t>(size), &got.report, &echoed) ||
        echoed != nonce) {
        return true;
    }
    char source[INET_ADDRSTRLEN] = "";
    (void)inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    got.address = source;
    answer = got;
    return true;
}

int RemainingMs(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void AskSilent(StatusClient& client, const std::vector<std::string>& addresses,
               const std::vector<std::optional<qd::StatusReport>>& reports) {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!reports[i] && !addresses[i].empty()) {
            (void)client.Ask(addresses[i]);
        }
    }
}

// Each answer fills every entry of its address that is still empty.
void Take(const std::vector<StatusAnswer>& answers, const std::vector<std::string>& addresses,
          std::vector<std::optional<qd::StatusReport>>& reports) {
    for (const StatusAnswer& answer : answers) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (addresses[i] == answer.address && !reports[i]) {
                reports[i] = answer.report;
            }
        }
    }
}

bool AllAnswered(const std::vector<std::string>& addresses,
                 const std::vector<std::optional<qd::StatusReport>>& reports) {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!reports[i] && !addresses[i].empty()) {
            return false;
        }
    }
    return true;
}

}  // namespace

StatusClient::StatusClient()
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), nonce_(RandomNonce()) {
    if (!fd_.valid()) {
        throw Error(std::string("cannot open a UDP socket: ") + std::strerror(errno));
    }
}

bool StatusClient::Ask(const std::string& address) {
    const std::optional<sockaddr_in> camera = CameraEndpoint(address);
    if (!camera) {
        return false;
    }
    unsigned char query[qd::kStatusQueryMinSize];
    qd::EncodeStatusQuery(nonce_, query);
    const ssize_t sent = sendto(fd_.get(), query, sizeof query, MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&*camera), sizeof *camera);
    return sent == static_cast<ssize_t>(sizeof query);
}

std::vector<StatusAnswer> StatusClient::Replies() {
    std::vector<StatusAnswer> answers;
    std::optional<StatusAnswer> answer;
    for (int i = 0; i < kMaxRepliesAtOnce && ReceiveOne(fd_.get(), nonce_, answer); ++i) {
        if (answer) {
            answers.push_back(*answer);
        }
    }
    return answers;
}

std::vector<std::optional<qd::StatusReport>> AskEach(StatusClient& client,
                                                     const std::vector<std::string>& addresses,
                                                     Millis timeout) {
    std::vector<std::optional<qd::StatusReport>> reports(addresses.size());
    const Clock::time_point start = Clock::now();
    for (int send = 0; send < kSends && !AllAnswered(addresses, reports); ++send) {
        AskSilent(client, addresses, reports);
        const Clock::time_point until = start + timeout * (send + 1) / kSends;
        for (int left = RemainingMs(until); left > 0 && !AllAnswered(addresses, reports);
             left = RemainingMs(until)) {
            pollfd entry{client.Descriptor(), POLLIN, 0};
            if (poll(&entry, 1, left) > 0) {
                Take(client.Replies(), addresses, reports);
            }
        }
    }
    return reports;
}

}  // namespace qdupk
