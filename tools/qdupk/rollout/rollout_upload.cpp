#include "rollout_upload.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "rollout_targets.h"

namespace qdupk {

namespace {

// Enough per call to keep a fast link busy, small enough that one camera
// never holds the loop for long.
constexpr std::size_t kSendSlice = std::size_t{1} << 20;

bool PeerGone(int error) {
    return error == EPIPE || error == ECONNRESET;
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

UploadAttempt::UploadAttempt(const HostPort& target, const AttemptSettings& settings, TimePoint now)
    : target_(target),
      settings_(settings),
      header_(EncodeUploadHeader(static_cast<std::uint32_t>(settings.size))) {
    Start(now);
}

short UploadAttempt::Events() const {
    switch (phase_) {
        case Phase::kConnecting:
        case Phase::kSending:
            return POLLOUT;
        case Phase::kAwaiting:
            return POLLIN;
        case Phase::kDone:
            break;
    }
    return 0;
}

std::string UploadAttempt::Where() const {
    if (phase_ == Phase::kAwaiting) {
        return "after the whole package";
    }
    return "after " + std::to_string(offset_) + " of " + std::to_string(settings_.size) +
           " package bytes";
}

void UploadAttempt::End(TargetResult result, bool retryable, const std::string& reason) {
    end_ = AttemptEnd{result, retryable, reason};
    phase_ = Phase::kDone;
    sock_.reset();
}

void UploadAttempt::Abort(const std::string& why) {
    if (!end_) {
        End(TargetResult::kAborted, false, why + " " + Where());
    }
}

// The first IPv4 address of the target; none (and the attempt ended) when
// the name does not resolve.
std::optional<sockaddr_in> UploadAttempt::Resolve() {
    int error = 0;
    const std::optional<in_addr> found = FirstIpv4(target_.host, error);
    if (!found) {
        // A name that does not resolve now will not after a pause either.
        End(TargetResult::kNoConnection, false,
            "cannot resolve " + target_.host + ": " + gai_strerror(error));
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = *found;
    address.sin_port = htons(target_.port);
    char text[INET_ADDRSTRLEN] = "";
    (void)inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    address_ = text;
    return address;
}

void UploadAttempt::Start(TimePoint now) {
    const std::optional<sockaddr_in> address = Resolve();
    if (!address) {
        return;
    }
    sock_.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock_.valid()) {
        End(TargetResult::kNoConnection, true,
            std::string("cannot open a socket: ") + std::strerror(errno));
        return;
    }
    deadline_ = now + settings_.connectTimeout;
    if (connect(sock_.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
        FinishConnect(now);
    } else if (errno != EINPROGRESS && errno != EINTR) {
        End(TargetResult::kNoConnection, true,
            std::string("cannot connect: ") + std::strerror(errno));
    }
}

void UploadAttempt::FinishConnect(TimePoint now) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(sock_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        End(TargetResult::kNoConnection, true,
            std::string("cannot connect: ") + std::strerror(error));
        return;
    }
    phase_ = Phase::kSending;
    deadline_ = now + settings_.timeout;
    lastProgress_ = now;
}

void UploadAttempt::Advance(short revents, TimePoint now) {
    if (phase_ == Phase::kDone) {
        return;
    }
    if (revents == 0) {
        if (now >= deadline_) {
            OnTimeout();
        }
        return;
    }
    if (phase_ == Phase::kConnecting) {
        FinishConnect(now);
    } else if (phase_ == Phase::kSending) {
        Send(now);
    } else {
        Receive();
    }
}

void UploadAttempt::OnTimeout() {
    switch (phase_) {
        case Phase::kConnecting:
            End(TargetResult::kNoConnection, true,
                "cannot connect: no answer within " + FormatSeconds(settings_.connectTimeout));
            return;
        case Phase::kSending:
            End(TargetResult::kTimeout, false,
                "the camera took no data for " + FormatSeconds(settings_.timeout) + " (" + Where() +
                    ")");
            return;
        case Phase::kAwaiting:
            End(TargetResult::kTimeout, false,
                "no acknowledgement within " + FormatSeconds(settings_.timeout) +
                    " (after the whole package)");
            return;
        case Phase::kDone:
            break;
    }
}

void UploadAttempt::SendFailed(int error) {
    if (PeerGone(error)) {
        End(TargetResult::kRefused, true,
            "closed the connection " + Where() + " without acknowledgement");
        return;
    }
    End(TargetResult::kNoConnection, true,
        "the connection failed " + Where() + ": " + std::strerror(error));
}

// Sends what the socket takes now; progress restarts the stall budget.
void UploadAttempt::Send(TimePoint now) {
    const off_t before = offset_;
    const std::size_t headerBefore = headerSent_;
    if (!SendHeader() || !SendBody()) {
        return;
    }
    if (offset_ != before || headerSent_ != headerBefore) {
        deadline_ = now + settings_.timeout;
        lastProgress_ = now;
    }
    if (static_cast<std::uint64_t>(offset_) == settings_.size) {
        phase_ = Phase::kAwaiting;
        deadline_ = now + settings_.timeout;
    }
}

// False when the attempt ended.
bool UploadAttempt::SendHeader() {
    while (headerSent_ < header_.size()) {
        const ssize_t sent = send(sock_.get(), header_.data() + headerSent_,
                                  header_.size() - headerSent_, MSG_NOSIGNAL);
        if (sent < 0) {
            if (WouldBlock(errno)) {
                return true;
            }
            SendFailed(errno);
            return false;
        }
        headerSent_ += static_cast<std::size_t>(sent);
    }
    return true;
}

bool UploadAttempt::SendBody() {
    if (headerSent_ < header_.size()) {
        return true;
    }
    const std::uint64_t left = settings_.size - static_cast<std::uint64_t>(offset_);
    if (left == 0) {
        return true;
    }
    const std::size_t want = left < kSendSlice ? static_cast<std::size_t>(left) : kSendSlice;
    const ssize_t sent = sendfile(sock_.get(), settings_.packageFd, &offset_, want);
    if (sent > 0) {
        return true;
    }
    if (sent == 0) {
        End(TargetResult::kAborted, false, "the package became shorter while it was sent");
        return false;
    }
    if (WouldBlock(errno)) {
        return true;
    }
    SendFailed(errno);
    return false;
}

void UploadAttempt::Receive() {
    const ssize_t got = recv(sock_.get(), answer_ + answered_, sizeof answer_ - answered_, 0);
    if (got > 0) {
        answered_ += static_cast<std::size_t>(got);
        if (answered_ == sizeof answer_) {
            Judge();
        }
        return;
    }
    if (got < 0 && WouldBlock(errno)) {
        return;
    }
    if (got < 0 && !PeerGone(errno)) {
        End(TargetResult::kNoConnection, false,
            std::string("the connection failed after the whole package: ") + std::strerror(errno));
        return;
    }
    Judge();
}

// The whole package went out: whatever the camera says now is its verdict,
// and another attempt would only repeat it.
void UploadAttempt::Judge() {
    if (IsAcceptance(answer_, answered_)) {
        End(TargetResult::kOk, false, "acknowledged the package");
    } else if (answered_ == 0) {
        End(TargetResult::kRefused, false,
            "closed the connection without acknowledgement: the camera refused the "
            "package or could not install it (see its log)");
    } else {
        End(TargetResult::kRefused, false,
            "answered " + HexBytes(answer_, answered_) +
                ", not the acknowledgement AA CC DD 03 00 00 00 00");
    }
}

}  // namespace qdupk
