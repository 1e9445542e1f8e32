#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace qdtest {

void KeepStdinOccupied() {
    if (fcntl(0, F_GETFD) == -1) {
        (void)open("/dev/null", O_RDONLY);
    }
}

PtyPair::PtyPair() {
    KeepStdinOccupied();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    struct termios tio {};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
        throw std::runtime_error("cannot open " + slavePath_);
    }
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void PtyPair::Send(const std::vector<unsigned char>& bytes) const {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("short write to the pseudo-terminal");
    }
}

std::vector<unsigned char> PtyPair::Receive(std::size_t want, int timeoutMs) const {
    std::vector<unsigned char> got;
    unsigned char buffer[2048];
    while (got.size() < want) {
        struct pollfd pfd = {master_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            break;
        }
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

}  // namespace qdtest
