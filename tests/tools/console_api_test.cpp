// qdupk console's HTTP side: the access rules as plain functions (token,
// session cookie, Host, Origin, --listen, --token-file), then the server
// in this process against stand-in cameras on loopback (every route, the
// limits, one whole rollout with its event stream and report), then the
// command itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "console_access.h"
#include "console_assets.h"
#include "console_engine.h"
#include "console_listen.h"
#include "console_server.h"
#include "errors.h"
#include "fake_upload_server.h"
#include "fleet_package.h"
#include "qd_owners.h"
#include "target_exec.h"
#include "test_support.h"
#include "test_timing.h"

namespace qdtest {
namespace {

using nlohmann::json;
using qdupk::AccessRequest;
using qdupk::AccessVerdict;
using qdupk::ConsoleAccess;
using qdupk::ListenAddress;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- access rules ----------------------------------------------------

const std::string kToken(40, 'T');

ListenAddress Listen(const std::string& text) {
    return *qdupk::ParseListen(text);
}

AccessRequest Get(const char* path, const char* host, const char* cookie = "") {
    AccessRequest request;
    request.method = "GET";
    request.path = path;
    request.host = host;
    request.cookie = cookie;
    return request;
}

// The session cookie's "NAME=SECRET" part, as a browser sends it back.
std::string CookieOf(const ConsoleAccess& access) {
    const std::string set = access.SessionCookie();
    return set.substr(0, set.find(';'));
}

TEST(ConsoleListen, ParsesAddressesAndTellsLoopback) {
    EXPECT_EQ(Listen("127.0.0.1:8088").port, 8088);
    EXPECT_EQ(Listen("localhost:0").address, "127.0.0.1");
    EXPECT_TRUE(qdupk::IsLoopback(Listen("127.3.2.1:80")));
    EXPECT_FALSE(qdupk::IsLoopback(Listen("10.0.0.1:80")));
    EXPECT_TRUE(qdupk::IsWildcard(Listen("0.0.0.0:80")));
    EXPECT_FALSE(qdupk::IsLoopback(Listen("0.0.0.0:80")));
    for (const char* bad : {"127.0.0.1", "127.0.0.1:65536", "127.0.0.1:-1", "127.1:80",
                            "camera.example:80", ":80", "127.0.0.1:8o", "[::1]:80"}) {
        EXPECT_FALSE(qdupk::ParseListen(bad)) << bad;
    }
}

TEST(ConsoleAccess, TokenOpensASessionAndOnlyTheCookieKeepsIt) {
    const ConsoleAccess access(kToken, Listen("127.0.0.1:8088"), false);
    EXPECT_TRUE(access.TokenMatches(kToken));
    EXPECT_FALSE(access.TokenMatches(kToken.substr(1)));
    EXPECT_FALSE(access.TokenMatches(kToken + "T"));
    EXPECT_FALSE(access.TokenMatches(std::string(39, 'T') + "U"));
    EXPECT_EQ(access.Url(), "http://127.0.0.1:8088/#t=" + kToken);

    const std::string set = access.SessionCookie();
    EXPECT_TRUE(Contains(set, "; HttpOnly; SameSite=Strict; Path=/")) << set;
    EXPECT_FALSE(Contains(set, "Secure"));
    const std::string cookie = CookieOf(access);
    EXPECT_FALSE(Contains(cookie, kToken)) << "the cookie is a secret of its own";
    EXPECT_EQ(access.Judge(Get("/api/cameras", "127.0.0.1:8088", cookie.c_str())).verdict,
              AccessVerdict::kAllow);
    const std::string among = "theme=dark; " + cookie + "; lang=en";
    EXPECT_EQ(access.Judge(Get("/api/cameras", "127.0.0.1:8088", among.c_str())).verdict,
              AccessVerdict::kAllow);
    // Another console's cookie, a cut one, or the token itself open nothing.
    const ConsoleAccess other(kToken, Listen("127.0.0.1:8088"), false);
    for (const std::string& wrong : {CookieOf(other), cookie.substr(0, cookie.size() - 1),
                                     "qdupk_session=" + kToken, std::string("qdupk_session=")}) {
        EXPECT_EQ(access.Judge(Get("/api/cameras", "127.0.0.1:8088", wrong.c_str())).verdict,
                  AccessVerdict::kNoSession)
            << wrong;
    }
    const ConsoleAccess tls(kToken, Listen("10.0.0.1:8443"), true);
    EXPECT_TRUE(Contains(tls.SessionCookie(), "; Secure"));
    EXPECT_EQ(tls.Url(), "https://10.0.0.1:8443/#t=" + kToken);
}

TEST(ConsoleAccess, WithoutSessionPagesGetLoginAndTheApiA401) {
    const ConsoleAccess access(kToken, Listen("127.0.0.1:8088"), false);
    EXPECT_EQ(access.Judge(Get("/", "127.0.0.1:8088")).verdict, AccessVerdict::kLoginPage);
    EXPECT_EQ(access.Judge(Get("/app.js", "127.0.0.1:8088")).verdict, AccessVerdict::kLoginPage);
    const qdupk::AccessDecision api = access.Judge(Get("/api/rollouts/1/events", "127.0.0.1:8088"));
    EXPECT_EQ(api.verdict, AccessVerdict::kNoSession);
    EXPECT_EQ(api.message, "no console session: open the address 'qdupk console' printed");
    AccessRequest login = Get("/login.js", "127.0.0.1:8088");
    login.isPublic = true;
    EXPECT_EQ(access.Judge(login).verdict, AccessVerdict::kAllow);

    AccessRequest session = Get("/api/session", "127.0.0.1:8088");
    session.method = "POST";
    session.origin = "http://127.0.0.1:8088";
    EXPECT_EQ(access.Judge(session).verdict, AccessVerdict::kAllow) << "no cookie needed yet";
    session.path = "/api/rollouts";
    EXPECT_EQ(access.Judge(session).verdict, AccessVerdict::kNoSession);
}

TEST(ConsoleAccess, HostMustNameTheListenAddress) {
    const ConsoleAccess loopback(kToken, Listen("127.0.0.1:8088"), false);
    const std::string cookie = CookieOf(loopback);
    const std::map<std::string, bool> hosts = {
        {"127.0.0.1:8088", true},       {"localhost:8088", true},
        {"LocalHost:8088", true},       {"127.0.0.1:8089", false},
        {"127.0.0.2:8088", false},      {"evil.example:8088", false},
        {"127.0.0.1", false},           {"", false},
        {"127.0.0.1:8088.evil", false}, {"localhost.evil.example:8088", false}};
    for (const auto& [host, allowed] : hosts) {
        const qdupk::AccessDecision decision =
            loopback.Judge(Get("/api/cameras", host.c_str(), cookie.c_str()));
        EXPECT_EQ(decision.verdict == AccessVerdict::kAllow, allowed) << host;
        if (!allowed) {
            EXPECT_EQ(decision.verdict, AccessVerdict::kWrongHost) << host;
            EXPECT_TRUE(Contains(decision.message, "this console answers to 127.0.0.1:8088, not "))
                << decision.message;
        }
    }
    // The Host is judged before the session: a rebound name learns nothing.
    EXPECT_EQ(loopback.Judge(Get("/", "evil.example:8088")).verdict, AccessVerdict::kWrongHost);

    // Any address of this machine, but only as a literal: DNS rebinding
    // needs a name.
    const ConsoleAccess wildcard(kToken, Listen("0.0.0.0:8088"), false);
    const std::string wildCookie = CookieOf(wildcard);
    for (const char* host : {"10.1.2.3:8088", "127.0.0.1:8088", "0.0.0.0:8088"}) {
        EXPECT_EQ(wildcard.Judge(Get("/", host, wildCookie.c_str())).verdict, AccessVerdict::kAllow)
            << host;
    }
    for (const char* host : {"camera.example:8088", "localhost:8088", "10.1.2.3:80"}) {
        EXPECT_EQ(wildcard.Judge(Get("/", host, wildCookie.c_str())).verdict,
                  AccessVerdict::kWrongHost)
            << host;
    }
    // Browsers leave the scheme's own port out of Host.
    const ConsoleAccess port80(kToken, Listen("127.0.0.1:80"), false);
    const std::string port80Cookie = CookieOf(port80);
    EXPECT_EQ(port80.Judge(Get("/", "127.0.0.1", port80Cookie.c_str())).verdict,
              AccessVerdict::kAllow);
}

TEST(ConsoleAccess, EveryChangeNeedsItsOwnOrigin) {
    const ConsoleAccess access(kToken, Listen("127.0.0.1:8088"), false);
    const std::string cookie = CookieOf(access);
    AccessRequest post = Get("/api/rollouts", "127.0.0.1:8088", cookie.c_str());
    post.method = "POST";
    const std::map<std::string, bool> origins = {{"http://127.0.0.1:8088", true},
                                                 {"", false},
                                                 {"null", false},
                                                 {"https://127.0.0.1:8088", false},
                                                 {"http://127.0.0.1:8089", false},
                                                 {"http://localhost:8088", false},
                                                 {"http://evil.example", false}};
    for (const auto& [origin, allowed] : origins) {
        post.origin = origin;
        const qdupk::AccessDecision decision = access.Judge(post);
        EXPECT_EQ(decision.verdict, allowed ? AccessVerdict::kAllow : AccessVerdict::kWrongOrigin)
            << origin;
    }
    // With localhost in Host, the page's Origin says localhost too.
    post.host = "localhost:8088";
    post.origin = "http://localhost:8088";
    EXPECT_EQ(access.Judge(post).verdict, AccessVerdict::kAllow);
    post.method = "DELETE";
    post.origin = "";
    EXPECT_EQ(access.Judge(post).verdict, AccessVerdict::kWrongOrigin);

    const ConsoleAccess tls(kToken, Listen("10.0.0.1:443"), true);
    const std::string tlsCookie = CookieOf(tls);
    AccessRequest secure = Get("/api/rollouts", "10.0.0.1", tlsCookie.c_str());
    secure.method = "POST";
    secure.origin = "https://10.0.0.1";
    EXPECT_EQ(tls.Judge(secure).verdict, AccessVerdict::kAllow);
    secure.origin = "http://10.0.0.1";
    EXPECT_EQ(tls.Judge(secure).verdict, AccessVerdict::kWrongOrigin);
}

TEST(ConsoleAccess, TokenFileIsReadOrWrittenPrivate) {
    const ScratchDir dir;
    const std::string path = dir.file("token");
    const std::string made = qdupk::LoadOrCreateToken(path);
    EXPECT_EQ(made.size(), 64U);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    EXPECT_EQ(qdupk::LoadOrCreateToken(path), made) << "the next run takes the same token";
    EXPECT_NE(qdupk::RandomSecret(), qdupk::RandomSecret());

    WriteFile(path, "abcdefghijklmnopqrstuvwxyz_-0123456789\r\nignored\n");
    EXPECT_EQ(qdupk::LoadOrCreateToken(path), "abcdefghijklmnopqrstuvwxyz_-0123456789");
    for (const char* bad : {"short\n", "abcdefghijklmnopqrstuvwxyz 0123456789\n", "\n",
                            "abcdefghijklmnopqrstuvwxyz/0123456789"}) {
        WriteFile(path, bad);
        try {
            (void)qdupk::LoadOrCreateToken(path);
            ADD_FAILURE() << "took " << bad;
        } catch (const qdupk::Error& e) {
            EXPECT_TRUE(Contains(e.what(), "at least 32 characters")) << e.what();
        }
    }
    EXPECT_THROW((void)qdupk::LoadOrCreateToken(dir.file("no/such/folder")), qdupk::Error);
}

// --- the server in this process --------------------------------------

const qdupk::ConsoleAsset kPages[] = {
    {"/", "text/html; charset=utf-8", "<p>the console page</p>", false},
    {"/login", "text/html; charset=utf-8", "<p>the login page</p>", true},
};

const qdupk::ConsoleAsset* FakeAsset(std::string_view path) {
    for (const qdupk::ConsoleAsset& asset : kPages) {
        if (asset.path == path) {
            return &asset;
        }
    }
    return nullptr;
}

std::string MakePackage(std::size_t dataSize) {
    return qdtest::FleetPackage(dataSize);
}

constexpr std::uint64_t kMaxPackage = std::uint64_t{256} * 1024;

// A console serving on 127.0.0.1 at a port of the system's choice, its
// engine listing `cameras` and searching nothing, and a client that has
// traded the token for a session.
class ConsoleApi : public ::testing::Test {
  protected:
    void Serve(const std::vector<std::string>& cameras) {
        qdupk::ConsoleOptions options;
        options.sources.named = cameras;
        options.workDir = work_.path();
        options.maxPackageSize = kMaxPackage;
        engine_ = std::make_unique<qdupk::ConsoleEngine>(options);
        server_ = std::make_unique<qdupk::ConsoleServer>(
            qdupk::ServerSettings{kMaxPackage, "", "", &FakeAsset});
        const ListenAddress bound = server_->Bind(Listen("127.0.0.1:0"));
        host_ = qdupk::HostText(bound);
        access_ = std::make_unique<ConsoleAccess>(kToken, bound, false);
        engine_->Start();
        serving_ = std::thread([this] { server_->Serve(*engine_, *access_); });
        port_ = bound.port;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(30, 0);
        const httplib::Result login = Post("/api/session", json{{"token", kToken}}.dump());
        ASSERT_TRUE(login);
        ASSERT_EQ(login->status, 204);
        const std::string set = login->get_header_value("Set-Cookie");
        cookie_ = set.substr(0, set.find(';'));
        // The engine lists the given cameras on its own thread.
        ASSERT_TRUE(PollUntil(Millis(10000), [&] {
            return Json(Get("/api/cameras"))["cameras"].size() == cameras.size();
        }));
    }

    void TearDown() override {
        if (server_) {
            server_->Stop();
        }
        if (serving_.joinable()) {
            serving_.join();
        }
        server_.reset();
        engine_.reset();
    }

    httplib::Headers Headers() const {
        return {{"Origin", "http://" + host_}, {"Cookie", cookie_}};
    }
    httplib::Result Get(const std::string& path) { return client_->Get(path, Headers()); }
    httplib::Result Post(const std::string& path, const std::string& body,
                         const char* type = "application/json") {
        return client_->Post(path, Headers(), body, type);
    }
    json Json(const httplib::Result& result) { return json::parse(result->body); }

    qd::UniqueFd Connect() const {
        qd::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        return fd;
    }

    // One request written by hand, for what a well-behaved client never
    // sends; the whole answer, up to the server closing the connection.
    std::string Raw(const std::string& request) {
        const qd::UniqueFd fd = Connect();
        EXPECT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        std::string answer;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0) {
            answer.append(buffer, static_cast<std::size_t>(got));
        }
        return answer;
    }
    std::string RawPost(const std::string& path, const std::string& headers) {
        return Raw("POST " + path + " HTTP/1.1\r\nHost: " + host_ + "\r\nOrigin: http://" + host_ +
                   "\r\nCookie: " + cookie_ + "\r\n" + headers + "\r\n");
    }

    std::vector<std::string> WorkFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(work_.path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    ScratchDir work_;
    std::unique_ptr<qdupk::ConsoleEngine> engine_;
    std::unique_ptr<qdupk::ConsoleServer> server_;
    std::unique_ptr<ConsoleAccess> access_;
    std::thread serving_;
    std::string host_;
    std::uint16_t port_ = 0;
    std::unique_ptr<httplib::Client> client_;
    std::string cookie_;
};

TEST_F(ConsoleApi, AccessThroughHttp) {
    const FakeUploadServer camera(ServerReply::kAck);
    Serve({camera.Address()});
    httplib::Client bare("127.0.0.1", port_);
    // No session: the page is the login page, the API a 401, both with
    // the headers that keep the page's own code the only code.
    httplib::Result page = bare.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, "<p>the login page</p>");
    EXPECT_TRUE(Contains(page->get_header_value("Content-Security-Policy"), "script-src 'self'"));
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
    httplib::Result api = bare.Get("/api/cameras");
    ASSERT_TRUE(api);
    EXPECT_EQ(api->status, 401);
    EXPECT_TRUE(Contains(Json(api)["message"], "no console session"));

    // A wrong token opens nothing; neither does the right one without Origin.
    httplib::Result wrong = Post("/api/session", json{{"token", kToken + "x"}}.dump());
    EXPECT_EQ(wrong->status, 403);
    EXPECT_TRUE(wrong->get_header_value("Set-Cookie").empty());
    httplib::Result noOrigin =
        bare.Post("/api/session", json{{"token", kToken}}.dump(), "application/json");
    EXPECT_EQ(noOrigin->status, 403);
    EXPECT_TRUE(noOrigin->get_header_value("Set-Cookie").empty());

    // With the session: the page itself, the API, and a 404 in JSON.
    EXPECT_EQ(Get("/")->body, "<p>the console page</p>");
    EXPECT_EQ(Get("/api/cameras")->status, 200);
    httplib::Result missing = Get("/no/such/page");
    EXPECT_EQ(missing->status, 404);
    EXPECT_TRUE(Contains(Json(missing)["message"], "/no/such/page"));

    // Another name for this address (DNS rebinding) and another page's
    // Origin are refused, session or not.
    httplib::Headers rebound = Headers();
    rebound.emplace("Host", "evil.example:" + std::to_string(port_));
    httplib::Result host = client_->Get("/api/cameras", rebound);
    EXPECT_EQ(host->status, 403);
    EXPECT_EQ(Json(host)["message"],
              "this console answers to " + host_ + ", not evil.example:" + std::to_string(port_));
    httplib::Headers foreign = {{"Origin", "http://evil.example"}, {"Cookie", cookie_}};
    httplib::Result origin = client_->Post(
        "/api/cameras", foreign, json{{"target", "127.0.0.9:80"}}.dump(), "application/json");
    EXPECT_EQ(origin->status, 403);
    EXPECT_EQ(Json(Get("/api/cameras"))["cameras"].size(), 1U) << "the refused add changed nothing";
}

TEST_F(ConsoleApi, BodiesOutsideTheLimitsAreRefusedUnread) {
    const FakeUploadServer camera(ServerReply::kAck);
    Serve({camera.Address()});
    const std::size_t cameras = Json(Get("/api/cameras"))["cameras"].size();

    // Refused from the headers alone, before a byte of the body is read;
    // the connection then closes, its rest being that body.
    const std::string big = RawPost("/api/packages?name=big.upg",
                                    "Content-Length: " + std::to_string(kMaxPackage + 1) + "\r\n");
    EXPECT_TRUE(Contains(big, "HTTP/1.1 413")) << big;
    EXPECT_TRUE(Contains(big, "the package has " + std::to_string(kMaxPackage + 1) +
                                  " bytes; this console takes at most " +
                                  std::to_string(kMaxPackage) + " (--max-package-size)"))
        << big;
    const std::string chunked = RawPost("/api/packages", "Transfer-Encoding: chunked\r\n");
    EXPECT_TRUE(Contains(chunked, "HTTP/1.1 411")) << chunked;
    const std::string bigJson = RawPost("/api/rollouts",
                                        "Content-Type: application/json\r\n"
                                        "Content-Length: 65537\r\n");
    EXPECT_TRUE(Contains(bigJson, "HTTP/1.1 413")) << bigJson;
    const std::string getBody =
        Raw("GET /api/cameras HTTP/1.1\r\nHost: " + host_ + "\r\nCookie: " + cookie_ +
            "\r\nContent-Length: 100000000\r\n\r\n");
    EXPECT_TRUE(Contains(getBody, "HTTP/1.1 400")) << getBody;

    // A package that breaks off (the page closed) is removed at once.
    {
        const qd::UniqueFd fd = Connect();
        const std::string cut = "POST /api/packages HTTP/1.1\r\nHost: " + host_ +
                                "\r\nOrigin: http://" + host_ + "\r\nCookie: " + cookie_ +
                                "\r\nContent-Length: 100000\r\n\r\nonly this";
        ASSERT_EQ(::send(fd.get(), cut.data(), cut.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(cut.size()));
        ASSERT_TRUE(PollUntil(Millis(10000), [&] { return !WorkFiles().empty(); }));
    }
    EXPECT_TRUE(PollUntil(Millis(10000), [&] { return WorkFiles().empty(); }));
    httplib::Result notJson = Post("/api/rollouts", "{\"package\": ");
    EXPECT_EQ(notJson->status, 400);
    EXPECT_TRUE(Contains(Json(notJson)["message"], "the body is not JSON: ")) << notJson->body;
    httplib::Result tooBig = Post("/api/cameras", std::string(qdupk::kMaxJsonBody + 1, ' '));
    EXPECT_EQ(tooBig->status, 413);
    httplib::Result unknown = Post("/api/nothing", "{}");
    EXPECT_EQ(unknown->status, 404);

    EXPECT_TRUE(WorkFiles().empty()) << WorkFiles().front();
    EXPECT_EQ(Json(Get("/api/cameras"))["cameras"].size(), cameras);
}

struct Event {
    std::uint64_t id;
    std::string type;
    json data;
};

// One "id: N\nevent: TYPE\ndata: JSON" block.
Event ParseEvent(const std::string& block) {
    std::uint64_t id = 0;
    std::string type;
    std::string data;
    std::size_t line = 0;
    while (line < block.size()) {
        const std::size_t stop = std::min(block.find('\n', line), block.size());
        const std::string field = block.substr(line, stop - line);
        if (field.rfind("id: ", 0) == 0) {
            id = std::stoull(field.substr(4));
        } else if (field.rfind("event: ", 0) == 0) {
            type = field.substr(7);
        } else if (field.rfind("data: ", 0) == 0) {
            data = field.substr(6);
        }
        line = stop + 1;
    }
    return {id, type, json::parse(data)};
}

// The stream's events in order; comment lines skipped.
std::vector<Event> ParseEvents(const std::string& text) {
    std::vector<Event> events;
    std::size_t start = 0;
    for (std::size_t end = text.find("\n\n"); end != std::string::npos;
         start = end + 2, end = text.find("\n\n", start)) {
        const std::string block = text.substr(start, end - start);
        if (!block.empty() && block[0] != ':') {
            events.push_back(ParseEvent(block));
        }
    }
    return events;
}

class ConsoleRollout : public ConsoleApi {
  protected:
    json TakePackage(const std::string& bytes, const std::string& name) {
        const httplib::Result taken =
            Post("/api/packages?name=" + name, bytes, "application/octet-stream");
        EXPECT_EQ(taken->status, 200) << taken->body;
        return Json(taken);
    }
    // The whole event stream of a rollout, read until the console closes
    // it after `finished`.
    std::vector<Event> ReadEvents(const std::string& path) {
        std::string text;
        const httplib::Result result =
            client_->Get(path, Headers(), [&text](const char* data, std::size_t size) {
                text.append(data, size);
                return true;
            });
        EXPECT_TRUE(result);
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/event-stream");
        return ParseEvents(text);
    }
};

TEST_F(ConsoleRollout, CanaryRolloutStreamedToItsEndAndReported) {
    FakeUploadServer canary(ServerReply::kAck);
    const FakeUploadServer second(ServerReply::kAck);
    const FakeUploadServer refusing(ServerReply::kClose);
    const std::vector<std::string> targets = {canary.Address(), second.Address(),
                                              refusing.Address()};
    Serve(targets);
    std::string damaged = MakePackage(60000);
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
    const json refused = TakePackage(damaged, "damaged.upg");
    EXPECT_EQ(refused["accepted"], false) << refused.dump();
    const std::string good = MakePackage(60000);
    const json package = TakePackage(good, "fleet.upg");
    ASSERT_EQ(package["accepted"], true) << package.dump();
    EXPECT_EQ(package["name"], "fleet.upg");
    EXPECT_EQ(package["size"], good.size());
    EXPECT_EQ(WorkFiles().size(), 1U) << "only the latest package is kept";

    const httplib::Result started =
        Post("/api/rollouts",
             json{{"package", package["id"]}, {"targets", targets}, {"canary", 1}}.dump());
    ASSERT_EQ(started->status, 202) << started->body;
    const std::string id = Json(started)["id"];
    const std::vector<Event> events = ReadEvents(Json(started)["events"]);

    ASSERT_GE(events.size(), 2U);
    EXPECT_EQ(events.front().type, "state");
    EXPECT_EQ(events.back().type, "finished");
    // The cameras as a page following the stream sees them: the whole
    // state first (what happened before the page came), then each change.
    std::map<std::size_t, json> last;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(events[i].id, events[i - 1].id) << "events come in order";
        }
        if (events[i].type == "state") {
            for (const json& camera : events[i].data["cameras"]) {
                last[camera["index"].get<std::size_t>()] = camera;
            }
        } else if (events[i].type == "camera") {
            last[events[i].data["index"].get<std::size_t>()] = events[i].data;
        }
        for (const auto& [index, camera] : last) {
            if (index != 0 && camera["phase"] != "waiting") {
                EXPECT_EQ(last[0]["phase"], "acknowledged")
                    << "the others wait for the canary; event " << events[i].id;
            }
        }
    }
    ASSERT_EQ(last.size(), 3U);
    EXPECT_EQ(last[0]["phase"], "acknowledged");
    EXPECT_EQ(last[1]["phase"], "acknowledged");
    EXPECT_EQ(last[2]["phase"], "failed");
    EXPECT_EQ(last[2]["result"], "refused");
    EXPECT_EQ(canary.Received().at(0).body.size(), good.size()) << "the package as it was given";
    EXPECT_EQ(events.back().data["exit"], 3);

    // The report is the state the API gives, camera by camera.
    const json state = Json(Get("/api/rollouts/" + id));
    EXPECT_EQ(state["state"], "finished");
    const httplib::Result reportJson = Get("/api/rollouts/" + id + "/report.json");
    ASSERT_EQ(reportJson->status, 200);
    EXPECT_TRUE(
        Contains(reportJson->get_header_value("Content-Disposition"), "rollout-" + id + ".json"));
    const json report = Json(reportJson);
    EXPECT_EQ(report["summary"], state["summary"]);
    ASSERT_EQ(report["targets"].size(), state["cameras"].size());
    for (std::size_t i = 0; i < report["targets"].size(); ++i) {
        const json& row = report["targets"][i];
        const json& camera = state["cameras"][i];
        EXPECT_EQ(row["address"], camera["target"]);
        EXPECT_EQ(row["result"], camera["result"]);
        EXPECT_EQ(row["reason"], camera["reason"]);
        EXPECT_EQ(row["attempts"], camera["attempts"]);
    }
    const httplib::Result csv = Get("/api/rollouts/" + id + "/report.csv");
    EXPECT_TRUE(Contains(csv->get_header_value("Content-Type"), "text/csv"));
    EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 4);

    // A stream opened after the end gets the state and the end at once.
    const std::vector<Event> after = ReadEvents(Json(started)["events"]);
    ASSERT_EQ(after.size(), 2U);
    EXPECT_EQ(after[0].type, "state");
    EXPECT_EQ(after[1].type, "finished");
}

TEST_F(ConsoleRollout, CancelAbortAndOneRolloutAtATime) {
    const FakeUploadServer stalling(ServerReply::kStall);
    Serve({stalling.Address()});
    const json package = TakePackage(MakePackage(60000), "fleet.upg");
    const json body = {{"package", package["id"]}, {"targets", {stalling.Address()}}};
    const httplib::Result started = Post("/api/rollouts", body.dump());
    ASSERT_EQ(started->status, 202) << started->body;
    const std::string id = Json(started)["id"];
    ASSERT_TRUE(PollUntil(Millis(10000), [&] { return stalling.Connections() > 0; }));

    const httplib::Result second = Post("/api/rollouts", body.dump());
    EXPECT_EQ(second->status, 409);
    EXPECT_TRUE(Contains(Json(second)["message"], "one rollout at a time")) << second->body;
    const httplib::Result early = Get("/api/rollouts/" + id + "/report.csv");
    EXPECT_EQ(early->status, 409);
    EXPECT_EQ(Json(early)["message"], "the report is ready when rollout " + id + " ends");
    const httplib::Result unknown = Post("/api/rollouts/7/abort", "");
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(Json(unknown)["message"], "no rollout 7");

    // Cancel lets the running upload go on; abort ends it.
    EXPECT_EQ(Post("/api/rollouts/" + id + "/cancel", "")->status, 202);
    EXPECT_EQ(Json(Get("/api/rollouts/" + id))["state"], "cancelling");
    EXPECT_EQ(Post("/api/rollouts/" + id + "/abort", "")->status, 202);
    const std::vector<Event> events = ReadEvents(Json(started)["events"]);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().type, "finished");
    const json state = Json(Get("/api/rollouts/" + id));
    EXPECT_EQ(state["cameras"][0]["result"], "aborted");
    EXPECT_EQ(state["exit"], 130);
}

// --- the command ------------------------------------------------------

TEST(ConsoleCommand, HelpAndListenRules) {
    const CommandResult help =
        RunCommand(TargetArgv(QDUPK_EXE, {"console", "--help"}), Millis(10000));
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.output, "usage: qdupk console")) << help.output;
    EXPECT_TRUE(Contains(help.output, "Exit status:")) << help.output;
    const CommandResult open =
        RunCommand(TargetArgv(QDUPK_EXE, {"console", "--listen", "10.0.0.1:8088"}), Millis(10000));
    EXPECT_EQ(open.status, 2);
    EXPECT_TRUE(Contains(open.output, "--tls-cert and --tls-key, or --insecure-http"))
        << open.output;
    const CommandResult bad =
        RunCommand(TargetArgv(QDUPK_EXE, {"console", "--listen", "host"}), Millis(10000));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.output, "needs ADDR:PORT")) << bad.output;
}

// The first line the child writes, within a (scaled) time-out.
std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    const auto deadline = std::chrono::steady_clock::now() + Scaled(Millis(10000));
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, 100) == 1 && ::read(fd, &c, 1) == 1) {
            if (c == '\n') {
                return line;
            }
            line += c;
        }
    }
    return line;
}

TEST(ConsoleCommand, PrintsItsAddressServesAndEndsOnSignal) {
    const ScratchDir tmp;
    // --open's browser: keeps what it was given to open, and how.
    const ScratchDir stubs;
    WriteFile(stubs.file("xdg-open"), "#!/bin/sh\necho \"$@\" > " + stubs.file("args") +
                                          "\ncp \"$1\" " + stubs.file("opened.html") + "\n");
    ASSERT_EQ(::chmod(stubs.file("xdg-open").c_str(), 0755), 0);
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const qd::UniqueFd readEnd(pipeFds[0]);
    ChildProcess console;
    {
        const qd::UniqueFd writeEnd(pipeFds[1]);
        console.Start(TargetArgv(QDUPK_EXE, {"console", "--no-search", "--listen", "127.0.0.1:0",
                                             "--open", "127.0.0.1:9"}),
                      {"TMPDIR=" + tmp.path(), "PATH=" + stubs.path() + ":" + std::getenv("PATH")},
                      writeEnd.get());
    }
    const std::string line = ReadLine(readEnd.get());
    const std::string prefix = "open http://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0U) << line;
    const std::size_t slash = line.find("/#t=");
    ASSERT_NE(slash, std::string::npos) << line;
    const int port = std::stoi(line.substr(prefix.size(), slash - prefix.size()));
    const std::string token = line.substr(slash + 4);
    EXPECT_EQ(token.size(), 64U);
    ASSERT_TRUE(PollUntil(Millis(10000), [&] { return FileExists(stubs.file("opened.html")); }));
    EXPECT_TRUE(Contains(ReadFile(stubs.file("opened.html")), line.substr(5)));
    EXPECT_FALSE(Contains(ReadFile(stubs.file("args")), token)) << "command lines are public";

    httplib::Client client("127.0.0.1", port);
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    const httplib::Result session = client.Post("/api/session", {{"Origin", origin}},
                                                json{{"token", token}}.dump(), "application/json");
    ASSERT_TRUE(session);
    ASSERT_EQ(session->status, 204);
    const std::string set = session->get_header_value("Set-Cookie");
    const auto listed = [&] {
        const httplib::Result cameras =
            client.Get("/api/cameras", {{"Cookie", set.substr(0, set.find(';'))}});
        return cameras && json::parse(cameras->body)["cameras"].size() == 1;
    };
    EXPECT_TRUE(PollUntil(Millis(10000), listed)) << "the camera TARGETS named";
    // The page compiled in: the login page first, the console with a session.
    const httplib::Result login = client.Get("/");
    ASSERT_TRUE(login);
    EXPECT_TRUE(Contains(login->body, "/login.js")) << login->body;
    const httplib::Result page = client.Get("/", {{"Cookie", set.substr(0, set.find(';'))}});
    ASSERT_TRUE(page);
    EXPECT_TRUE(Contains(page->body, "id=\"cameras\"")) << page->body;
    EXPECT_EQ(client.Get("/login.js")->status, 200) << "public";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1)
        << "the console's private folder";

    ASSERT_EQ(::kill(console.pid(), SIGTERM), 0);
    EXPECT_EQ(console.Wait(Millis(10000)), 130);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 0)
        << "removed on the way out";
}

}  // namespace
}  // namespace qdtest
