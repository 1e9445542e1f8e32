// Where the console listens: the --listen text, whether that address is
// this machine's own, and the network namespace the console works in once
// its listening socket is open.
#ifndef QDUPK_TOOL_CONSOLE_LISTEN_H
#define QDUPK_TOOL_CONSOLE_LISTEN_H

#include <cstdint>
#include <optional>
#include <string>

namespace qdupk {

struct ListenAddress {
    std::string address = "127.0.0.1";  // an IPv4 literal; 0.0.0.0: every address
    std::uint16_t port = 8088;          // 0: the system picks one when binding
};

// "ADDR:PORT" with ADDR an IPv4 literal (or "localhost") and PORT from 0 to
// 65535; nullopt for anything else. A name other than localhost is refused:
// the console would not know which address the browser uses.
std::optional<ListenAddress> ParseListen(const std::string& text);

// "ADDR:PORT", as the Host header names it.
std::string HostText(const ListenAddress& listen);

// 127.0.0.0/8: only this machine reaches it.
bool IsLoopback(const ListenAddress& listen);
// 0.0.0.0: every address of the machine.
bool IsWildcard(const ListenAddress& listen);

// Moves the calling thread, and every thread it starts from then on, into
// the network namespace /run/netns/NAME (made by "ip netns add"). Sockets
// opened before stay where they are. Throws Error (needs root).
void EnterNetns(const std::string& name);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_LISTEN_H
