// --listen and --netns.
#include "console_listen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>

#include <cerrno>
#include <cstring>

#include "errors.h"
#include "qd_owners.h"

namespace qdupk {

namespace {

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long value = std::stoul(text);
    if (value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool IsIpv4Literal(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace

std::optional<ListenAddress> ParseListen(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    ListenAddress listen;
    listen.address = text.substr(0, colon);
    if (listen.address == "localhost") {
        listen.address = "127.0.0.1";
    }
    const std::optional<std::uint16_t> port = ParsePort(text.substr(colon + 1));
    if (!port || !IsIpv4Literal(listen.address)) {
        return std::nullopt;
    }
    listen.port = *port;
    return listen;
}

std::string HostText(const ListenAddress& listen) {
    return listen.address + ":" + std::to_string(listen.port);
}

bool IsLoopback(const ListenAddress& listen) {
    in_addr parsed{};
    return inet_pton(AF_INET, listen.address.c_str(), &parsed) == 1 &&
           (ntohl(parsed.s_addr) >> 24U) == 127U;
}

bool IsWildcard(const ListenAddress& listen) {
    return listen.address == "0.0.0.0";
}

void EnterNetns(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw Error("--netns: not a namespace name: " + name);
    }
    const std::string path = "/run/netns/" + name;
    const qd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        throw Error("--netns: cannot open " + path + ": " + std::strerror(errno));
    }
    if (::setns(fd.get(), CLONE_NEWNET) != 0) {
        throw Error("--netns: cannot enter " + name + ": " + std::strerror(errno));
    }
}

}  // namespace qdupk
