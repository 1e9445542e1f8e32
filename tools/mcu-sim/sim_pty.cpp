#include "sim_pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mcusim {

SimPty::~SimPty() {
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

bool SimPty::Open(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    struct termios tio = {};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
        *error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    // Binary frames must pass untouched: no echo, no line editing, no
    // character translation in either direction.
    cfmakeraw(&tio);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        *error = "cannot set " + slavePath_ + " raw: " + std::strerror(errno);
        return false;
    }
    return true;
}

void SimPty::WaitDrained(int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        int pending = 0;
        if (ioctl(slave_, TIOCINQ, &pending) != 0 || pending == 0) {
            return;
        }
        usleep(10000);
    }
}

bool SimPty::PublishPath(const std::string& file, std::string* error) const {
    const std::string temp = file + ".tmp";
    std::FILE* out = std::fopen(temp.c_str(), "w");
    bool ok = out != nullptr && std::fprintf(out, "%s\n", slavePath_.c_str()) > 0;
    if (out != nullptr) {
        ok = std::fclose(out) == 0 && ok;
    }
    if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace mcusim
