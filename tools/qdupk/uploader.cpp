#include "uploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "qd_owners.h"
#include "tcp_client.h"
#include "upload_protocol.h"

namespace qdupk {

namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;

class LocalError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string Describe(const HostPort& target) {
    return target.host + ":" + std::to_string(target.port);
}

qd::UniqueFd OpenPackage(const UploadRequest& request) {
    qd::UniqueFd fd(open(request.packagePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        throw LocalError("cannot open " + request.packagePath + ": " + std::strerror(errno));
    }
    if (static_cast<std::uint64_t>(info.st_size) != request.size) {
        throw LocalError(request.packagePath + " changed after it was checked");
    }
    return fd;
}

std::size_t ReadChunk(int fd, unsigned char* buffer, std::size_t size, const std::string& path) {
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            throw LocalError(path + " became shorter while it was sent");
        }
        if (errno != EINTR) {
            throw LocalError("cannot read " + path + ": " + std::strerror(errno));
        }
    }
}

// Header, then the package in chunks; `sent` counts package bytes.
void SendPackage(int sock, int file, const UploadRequest& request, std::uint64_t& sent,
                 TransferProgress& progress) {
    const UploadHeader header = EncodeUploadHeader(static_cast<std::uint32_t>(request.size));
    SendAll(sock, header.data(), header.size(), request.timeout);
    std::vector<unsigned char> chunk(kChunk);
    progress.Sent(0);
    while (sent < request.size) {
        const std::uint64_t left = request.size - sent;
        const std::size_t want =
            left < chunk.size() ? static_cast<std::size_t>(left) : chunk.size();
        const std::size_t got = ReadChunk(file, chunk.data(), want, request.packagePath);
        SendAll(sock, chunk.data(), got, request.timeout);
        sent += got;
        progress.Sent(sent);
    }
    progress.SendDone();
}

UploadReport Judge(const unsigned char* answer, std::size_t size, const std::string& camera) {
    if (IsAcceptance(answer, size)) {
        return {UploadOutcome::kAccepted,
                camera + " acknowledged the package: it is installed and the camera reboots"};
    }
    if (size == 0) {
        return {UploadOutcome::kNotAccepted,
                camera +
                    " closed the connection without acknowledgement: the camera refused "
                    "the package or could not install it (see its log)"};
    }
    return {UploadOutcome::kNotAccepted, camera + " answered " + HexBytes(answer, size) +
                                             ", not the acknowledgement AA CC DD 03 00 00 00 00"};
}

UploadReport AwaitAnswer(int sock, const UploadRequest& request, TransferProgress& progress) {
    using std::chrono::seconds;
    const auto limit = std::chrono::duration_cast<seconds>(request.timeout);
    const auto tick = [&](Millis waited) {
        progress.Waiting(std::chrono::duration_cast<seconds>(waited), limit);
    };
    unsigned char answer[qd::kUploadAckSize] = {};
    const std::size_t got = ReceiveExact(sock, answer, sizeof answer, request.timeout, tick);
    return Judge(answer, got, Describe(request.target));
}

UploadReport FromNetError(const TcpError& e, const UploadRequest& request, std::uint64_t sent,
                          bool allSent) {
    const std::string camera = Describe(request.target);
    const std::string where = allSent ? "after the whole package"
                                      : "after " + std::to_string(sent) + " of " +
                                            std::to_string(request.size) + " package bytes";
    switch (e.kind()) {
        case NetFailure::kConnect:
            return {UploadOutcome::kConnectionFailed, e.what()};
        case NetFailure::kClosed:
            return {UploadOutcome::kNotAccepted,
                    camera + " closed the connection " + where + " without acknowledgement"};
        case NetFailure::kTimeout:
            return {UploadOutcome::kTimedOut, camera + ": " + e.what() + " (" + where + ")"};
        case NetFailure::kOther:
            break;
    }
    return {UploadOutcome::kConnectionFailed,
            "connection to " + camera + " failed " + where + ": " + e.what()};
}

}  // namespace

UploadReport UploadPackage(const UploadRequest& request, TransferProgress& progress) {
    std::uint64_t sent = 0;
    bool allSent = false;
    try {
        const qd::UniqueFd file = OpenPackage(request);
        const qd::UniqueFd sock = ConnectTcp(request.target, request.connectTimeout);
        SendPackage(sock.get(), file.get(), request, sent, progress);
        allSent = true;
        UploadReport report = AwaitAnswer(sock.get(), request, progress);
        progress.Close();
        return report;
    } catch (const LocalError& e) {
        progress.Close();
        return {UploadOutcome::kLocalError, e.what()};
    } catch (const TcpError& e) {
        progress.Close();
        return FromNetError(e, request, sent, allSent);
    }
}

}  // namespace qdupk
