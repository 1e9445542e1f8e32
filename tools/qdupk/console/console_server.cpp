// The console's routes over cpp-httplib. Every request passes the access
// rules before routing, no request body is read before its size is known
// to be within bounds, and a package goes from the socket to a file
// without ever being held in memory.
#include "console_server.h"

#include <httplib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "console_access.h"
#include "console_assets.h"
#include "console_engine.h"
#include "errors.h"
#include "qd_files.h"

namespace qdupk {

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;
using Clock = std::chrono::steady_clock;
using HandlerResponse = httplib::Server::HandlerResponse;

// How long one call of the event stream's provider waits for events: the
// server notices a stop between calls.
constexpr std::chrono::milliseconds kEventWait{250};
// A comment line on an idle stream, so a page that went away is noticed
// and proxies keep the connection.
constexpr std::chrono::seconds kKeepAliveEvery{15};
constexpr time_t kReadTimeoutSeconds = 30;
constexpr time_t kWriteTimeoutSeconds = 30;

std::string MessageJson(const std::string& message) {
    return nlohmann::json{{"message", message}}.dump(-1, ' ', false,
                                                     nlohmann::json::error_handler_t::replace);
}

ApiAnswer Refusal(int status, const std::string& message) {
    return {status, "application/json", MessageJson(message), {}};
}

void Send(Response& res, const ApiAnswer& answer) {
    res.status = answer.status;
    res.set_content(answer.body, answer.contentType);
    if (!answer.fileName.empty()) {
        res.set_header("Content-Disposition", "attachment; filename=\"" + answer.fileName + "\"");
    }
}

// An answer given before the body was read. The rest of the connection is
// that body, which is why every connection ends with its one answer (see
// SetUp); the name marks the places that rely on it.
void SendUnread(Response& res, const ApiAnswer& answer) {
    Send(res, answer);
}

bool HasBody(const Request& req) {
    const std::string length = req.get_header_value("Content-Length");
    return req.has_header("Transfer-Encoding") || (!length.empty() && length != "0");
}

// The Content-Length header as a number; nullopt when absent (a chunked
// body) or not a plain decimal number.
std::optional<std::uint64_t> ContentLength(const Request& req) {
    const std::string text = req.get_header_value("Content-Length");
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        req.has_header("Transfer-Encoding")) {
        return std::nullopt;
    }
    return std::stoull(text);
}

std::string StripParserPrefix(const std::string& what) {
    // "[json.exception.parse_error.101] parse error at ...": the bracket is
    // for programs, the rest for people.
    const std::size_t close = what.find("] ");
    return what[0] == '[' && close != std::string::npos ? what.substr(close + 2) : what;
}

// Reads a JSON request body of at most kMaxJsonBody bytes into `out`;
// false with `refusal` set otherwise.
bool ReadJson(const Request& req, const ContentReader& reader, nlohmann::json& out,
              ApiAnswer& refusal) {
    const std::optional<std::uint64_t> length = ContentLength(req);
    if (length && *length > kMaxJsonBody) {
        refusal = Refusal(413, "the request has " + std::to_string(*length) +
                                   " bytes; this console takes at most " +
                                   std::to_string(kMaxJsonBody) + " in a JSON request");
        return false;
    }
    std::string body;
    const bool read = reader([&body](const char* data, std::size_t size) {
        body.append(data, size);
        return body.size() <= kMaxJsonBody;
    });
    if (!read || body.size() > kMaxJsonBody) {
        refusal = Refusal(body.size() > kMaxJsonBody ? 413 : 400,
                          "the request's body did not arrive whole, or is over " +
                              std::to_string(kMaxJsonBody) + " bytes");
        return false;
    }
    try {
        out = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& e) {
        refusal = Refusal(400, "the body is not JSON: " + StripParserPrefix(e.what()));
        return false;
    }
    return true;
}

// What streaming a package into its file came to.
struct Streamed {
    std::uint64_t bytes = 0;
    bool readWhole = false;
    int writeError = 0;
};

Streamed StreamToFile(const std::string& path, const ContentReader& reader, std::uint64_t length) {
    Streamed streamed;
    const qd::FilePtr file = qd::CreateFreshFile(path.c_str());
    if (!file) {
        streamed.writeError = errno;
        return streamed;
    }
    streamed.readWhole = reader([&](const char* data, std::size_t size) {
        if (qd::WriteAllRetrying(file.get(), data, size) != size) {
            streamed.writeError = errno != 0 ? errno : EIO;
            return false;
        }
        streamed.bytes += size;
        return streamed.bytes <= length;
    });
    if (streamed.writeError == 0 && std::fflush(file.get()) != 0) {
        streamed.writeError = errno;
    }
    return streamed;
}

ApiAnswer StreamFailure(const Streamed& streamed, std::uint64_t length) {
    if (streamed.writeError != 0) {
        return Refusal(
            500, std::string("could not store the package: ") + std::strerror(streamed.writeError));
    }
    return Refusal(400, "the package broke off after " + std::to_string(streamed.bytes) + " of " +
                            std::to_string(length) + " bytes");
}

}  // namespace

struct ConsoleServer::Impl {
    ServerSettings settings;
    std::unique_ptr<httplib::Server> http;
    ConsoleEngine* engine = nullptr;
    const ConsoleAccess* access = nullptr;

    void SetUp();
    void AddApiRoutes();
    void AddRolloutRoutes();
    void AddFallbacks();
    HandlerResponse BeforeRouting(const Request& req, Response& res) const;
    void ServeAsset(const Request& req, Response& res) const;
    void OpenSession(const Request& req, Response& res, const ContentReader& reader) const;
    void TakePackage(const Request& req, Response& res, const ContentReader& reader) const;
    bool PackageLengthOk(const Request& req, std::uint64_t& length, ApiAnswer& refusal) const;
    void WithJson(const Request& req, Response& res, const ContentReader& reader,
                  ApiAnswer (ConsoleEngine::*call)(const nlohmann::json&)) const;
    void Events(const Request& req, Response& res) const;
};

ConsoleServer::ConsoleServer(const ServerSettings& settings) : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    if (settings.tlsCert.empty()) {
        impl_->http = std::make_unique<httplib::Server>();
    } else {
        impl_->http =
            std::make_unique<httplib::SSLServer>(settings.tlsCert.c_str(), settings.tlsKey.c_str());
    }
    if (!impl_->http->is_valid()) {
        throw Error("cannot load the certificate " + settings.tlsCert + " with the key " +
                    settings.tlsKey);
    }
}

ConsoleServer::~ConsoleServer() = default;

ListenAddress ConsoleServer::Bind(const ListenAddress& listen) {
    ListenAddress bound = listen;
    errno = 0;
    const int port =
        listen.port == 0
            ? impl_->http->bind_to_any_port(listen.address)
            : (impl_->http->bind_to_port(listen.address, listen.port) ? listen.port : -1);
    if (port < 0) {
        throw Error("cannot listen on " + HostText(listen) +
                    (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
    }
    bound.port = static_cast<std::uint16_t>(port);
    return bound;
}

bool ConsoleServer::Serve(ConsoleEngine& engine, const ConsoleAccess& access) {
    impl_->engine = &engine;
    impl_->access = &access;
    impl_->SetUp();
    return impl_->http->listen_after_bind();
}

void ConsoleServer::Stop() {
    impl_->http->stop();
}

void ConsoleServer::Impl::SetUp() {
    httplib::Server& server = *http;
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    // Checked again, with its own message, before any package byte is read.
    server.set_payload_max_length(static_cast<std::size_t>(settings.maxPackageSize));
    // One request per connection: a body refused unread must not be taken
    // for the next request, and httplib keeps a connection open whatever
    // the answer says. The page makes few requests; a new connection each
    // costs nothing on a LAN.
    server.set_keep_alive_max_count(1);
    server.set_read_timeout(kReadTimeoutSeconds);
    server.set_write_timeout(kWriteTimeoutSeconds);
    httplib::Headers headers;
    for (const auto& [name, value] : kSecurityHeaders) {
        headers.emplace(name, value);
    }
    server.set_default_headers(headers);
    server.set_pre_routing_handler(
        [this](const Request& req, Response& res) { return BeforeRouting(req, res); });
    server.set_exception_handler([](const Request&, Response& res, std::exception_ptr error) {
        std::string what = "unknown failure";
        try {
            std::rethrow_exception(std::move(error));
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        Send(res, Refusal(500, "the console failed: " + what));
    });
    AddApiRoutes();
    AddRolloutRoutes();
    AddFallbacks();
}

HandlerResponse ConsoleServer::Impl::BeforeRouting(const Request& req, Response& res) const {
    if (req.method != "POST" && HasBody(req)) {
        SendUnread(res, Refusal(400, "this console takes a body only with POST"));
        return HandlerResponse::Handled;
    }
    const std::string host = req.get_header_value("Host");
    const std::string origin = req.get_header_value("Origin");
    const std::string cookie = req.get_header_value("Cookie");
    AccessRequest request;
    request.method = req.method;
    request.path = req.path;
    request.host = host;
    request.origin = origin;
    request.cookie = cookie;
    const ConsoleAsset* asset = settings.findAsset ? settings.findAsset(req.path) : nullptr;
    request.isPublic = asset != nullptr && asset->isPublic;
    const AccessDecision decision = access->Judge(request);
    switch (decision.verdict) {
        case AccessVerdict::kAllow:
            return HandlerResponse::Unhandled;
        case AccessVerdict::kLoginPage: {
            const ConsoleAsset* login = settings.findAsset ? settings.findAsset("/login") : nullptr;
            if (login != nullptr) {
                res.set_content(std::string(login->body), std::string(login->type));
                break;
            }
            Send(res, Refusal(401, "no console session: open the address 'qdupk console' printed"));
            break;
        }
        case AccessVerdict::kNoSession:
            SendUnread(res, Refusal(401, decision.message));
            break;
        case AccessVerdict::kWrongHost:
        case AccessVerdict::kWrongOrigin:
            SendUnread(res, Refusal(403, decision.message));
            break;
    }
    return HandlerResponse::Handled;
}

void ConsoleServer::Impl::ServeAsset(const Request& req, Response& res) const {
    const ConsoleAsset* asset = settings.findAsset ? settings.findAsset(req.path) : nullptr;
    if (asset == nullptr) {
        Send(res, Refusal(404, "nothing here: " + req.path));
        return;
    }
    res.set_content(std::string(asset->body), std::string(asset->type));
}

void ConsoleServer::Impl::OpenSession(const Request& req, Response& res,
                                      const ContentReader& reader) const {
    nlohmann::json body;
    ApiAnswer refusal;
    if (!ReadJson(req, reader, body, refusal)) {
        SendUnread(res, refusal);
        return;
    }
    const auto token = body.is_object() ? body.find("token") : body.end();
    if (token == body.end() || !token->is_string() ||
        !access->TokenMatches(token->get_ref<const std::string&>())) {
        Send(res, Refusal(403, "wrong access token: open the address 'qdupk console' printed"));
        return;
    }
    res.status = 204;
    res.set_header("Set-Cookie", access->SessionCookie());
}

bool ConsoleServer::Impl::PackageLengthOk(const Request& req, std::uint64_t& length,
                                          ApiAnswer& refusal) const {
    const std::optional<std::uint64_t> given = ContentLength(req);
    if (!given) {
        refusal = Refusal(411, "send the package with its length (Content-Length)");
        return false;
    }
    if (*given > settings.maxPackageSize) {
        refusal =
            Refusal(413, "the package has " + std::to_string(*given) +
                             " bytes; this console takes at most " +
                             std::to_string(settings.maxPackageSize) + " (--max-package-size)");
        return false;
    }
    length = *given;
    return true;
}

void ConsoleServer::Impl::TakePackage(const Request& req, Response& res,
                                      const ContentReader& reader) const {
    std::uint64_t length = 0;
    ApiAnswer refusal;
    if (!PackageLengthOk(req, length, refusal)) {
        SendUnread(res, refusal);
        return;
    }
    const std::string path = engine->NewPackagePath(refusal);
    if (path.empty()) {
        SendUnread(res, refusal);
        return;
    }
    const Streamed streamed = StreamToFile(path, reader, length);
    if (!streamed.readWhole || streamed.writeError != 0 || streamed.bytes != length) {
        (void)::unlink(path.c_str());
        SendUnread(res, StreamFailure(streamed, length));
        return;
    }
    Send(res, engine->TakePackage(path, req.get_param_value("name")));
}

void ConsoleServer::Impl::WithJson(const Request& req, Response& res, const ContentReader& reader,
                                   ApiAnswer (ConsoleEngine::*call)(const nlohmann::json&)) const {
    nlohmann::json body;
    ApiAnswer refusal;
    if (!ReadJson(req, reader, body, refusal)) {
        SendUnread(res, refusal);
        return;
    }
    Send(res, (engine->*call)(body));
}

void ConsoleServer::Impl::AddApiRoutes() {
    httplib::Server& server = *http;
    server.Post("/api/session", [this](const Request& req, Response& res, const ContentReader& r) {
        OpenSession(req, res, r);
    });
    server.Get("/api/cameras", [this](const Request& req, Response& res) {
        Send(res, engine->Cameras(req.get_param_value("refresh") == "1"));
    });
    server.Post("/api/cameras", [this](const Request& req, Response& res, const ContentReader& r) {
        WithJson(req, res, r, &ConsoleEngine::AddCamera);
    });
    server.Post("/api/packages", [this](const Request& req, Response& res, const ContentReader& r) {
        TakePackage(req, res, r);
    });
}

void ConsoleServer::Impl::AddRolloutRoutes() {
    httplib::Server& server = *http;
    server.Post("/api/rollouts", [this](const Request& req, Response& res, const ContentReader& r) {
        WithJson(req, res, r, &ConsoleEngine::StartRollout);
    });
    server.Get("/api/rollouts/([^/]+)", [this](const Request& req, Response& res) {
        Send(res, engine->Rollout(req.matches[1]));
    });
    server.Post("/api/rollouts/([^/]+)/(cancel|abort)", [this](const Request& req, Response& res,
                                                               const ContentReader&) {
        const std::string id = req.matches[1];
        // The body, if any, says nothing; the connection closes after.
        SendUnread(res, req.matches[2] == "cancel" ? engine->Cancel(id) : engine->Abort(id));
    });
    server.Get("/api/rollouts/([^/]+)/report\\.(csv|json)",
               [this](const Request& req, Response& res) {
                   Send(res, engine->Report(req.matches[1], req.matches[2]));
               });
    server.Get("/api/rollouts/([^/]+)/events",
               [this](const Request& req, Response& res) { Events(req, res); });
}

void ConsoleServer::Impl::AddFallbacks() {
    httplib::Server& server = *http;
    server.Get(".*", [this](const Request& req, Response& res) { ServeAsset(req, res); });
    // Every other request with a body lands here unread: nothing this
    // console does not know is ever buffered.
    const auto unknown = [](const Request& req, Response& res, const ContentReader&) {
        SendUnread(res, Refusal(404, "nothing here: " + req.method + " " + req.path));
    };
    server.Post(".*", unknown);
    server.Put(".*", unknown);
    server.Patch(".*", unknown);
    server.Delete(".*", unknown);
}

namespace {

struct EventFeed {
    std::shared_ptr<EventStream> events;
    Clock::time_point lastWrite = Clock::now();
};

bool Feed(EventFeed& feed, httplib::DataSink& sink) {
    std::string text;
    const bool open = feed.events->Take(text, kEventWait);
    if (text.empty() && open && Clock::now() - feed.lastWrite >= kKeepAliveEvery) {
        text = ": keep-alive\n\n";
    }
    if (!text.empty()) {
        if (!sink.write(text.data(), text.size())) {
            return false;
        }
        feed.lastWrite = Clock::now();
    }
    if (!open) {
        sink.done();
    }
    return true;
}

}  // namespace

void ConsoleServer::Impl::Events(const Request& req, Response& res) const {
    ApiAnswer refusal;
    auto feed = std::make_shared<EventFeed>();
    feed->events = engine->Subscribe(req.matches[1], refusal);
    if (!feed->events) {
        Send(res, refusal);
        return;
    }
    res.set_chunked_content_provider(
        "text/event-stream",
        [feed](std::size_t /*offset*/, httplib::DataSink& sink) { return Feed(*feed, sink); },
        [feed](bool /*success*/) { feed->events->Detach(); });
}

}  // namespace qdupk
