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

bool SimPty::Open(std::string* error) {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY));
    char name[128];
    if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
        ptsname_r(master_.get(), name, sizeof name) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slave_.reset(open(name, O_RDWR | O_NOCTTY));
    struct termios tio = {};
    if (!slave_.valid() || tcgetattr(slave_.get(), &tio) != 0) {
        *error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    // Binary frames must pass untouched: no echo, no line editing, no
    // character translation in either direction.
    cfmakeraw(&tio);
    if (tcsetattr(slave_.get(), TCSANOW, &tio) != 0) {
        *error = "cannot set " + slavePath_ + " raw: " + std::strerror(errno);
        return false;
    }
    return true;
}

void SimPty::WaitDrained(int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        int pending = 0;
        if (ioctl(slave_.get(), TIOCINQ, &pending) != 0 || pending == 0) {
            return;
        }
        usleep(10000);
    }
}

bool SimPty::PublishPath(const std::string& file, std::string* error) const {
    const std::string temp = file + ".tmp";
    qd::FilePtr out(std::fopen(temp.c_str(), "w"));
    bool ok = out && std::fprintf(out.get(), "%s\n", slavePath_.c_str()) > 0;
    ok = qd::CloseChecked(out) && ok;
    if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace mcusim
