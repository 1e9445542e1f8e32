// The console's HTTP side: the page's files, the JSON API and the event
// streams, each request judged by ConsoleAccess first and then handed to
// the engine. Only this room knows the HTTP library.
#ifndef QDUPK_TOOL_CONSOLE_SERVER_H
#define QDUPK_TOOL_CONSOLE_SERVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "console_listen.h"

namespace qdupk {

class ConsoleAccess;
class ConsoleEngine;
struct ConsoleAsset;

// JSON request bodies (a rollout's options, a camera to add) are small.
constexpr std::size_t kMaxJsonBody = std::size_t{64} * 1024;
// Threads that serve requests: every event stream keeps one, and the page
// still needs a few for its calls while they run.
constexpr std::size_t kServerThreads = 16;

struct ServerSettings {
    std::uint64_t maxPackageSize = 2147483647;
    // Both given: https. Neither: plain http.
    std::string tlsCert;
    std::string tlsKey;
    // The page's files (FindAsset); nullptr serves none.
    const ConsoleAsset* (*findAsset)(std::string_view path) = nullptr;
};

class ConsoleServer {
  public:
    // Throws Error when the certificate or key cannot be loaded.
    explicit ConsoleServer(const ServerSettings& settings);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Opens the listening socket now, in the current network namespace, and
    // gives back the address with the port actually bound. Throws Error.
    ListenAddress Bind(const ListenAddress& listen);
    // Serves until Stop(); the threads that answer start here. False when
    // serving could not start (or Stop came first).
    bool Serve(ConsoleEngine& engine, const ConsoleAccess& access);
    // From any thread: ends Serve, its event streams included.
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_SERVER_H
