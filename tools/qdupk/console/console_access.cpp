// The console's access rules: token, session cookie, Host and Origin.
#include "console_access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "errors.h"
#include "printable.h"
#include "qd_hex.h"
#include "qd_owners.h"

namespace qdupk {

const std::pair<const char*, const char*> kSecurityHeaders[4] = {
    {"Content-Security-Policy",
     "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
     "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

namespace {

constexpr char kCookieName[] = "qdupk_session";
// A token file is one short line; anything longer is not one.
constexpr std::size_t kTokenFileLimit = 4096;

bool SameSecret(std::string_view given, const std::string& secret) {
    return given.size() == secret.size() &&
           CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

bool IsTokenCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
}

bool IsTokenText(const std::string& text) {
    return text.size() >= kMinTokenLength &&
           std::all_of(text.begin(), text.end(), IsTokenCharacter);
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool IsIpv4Literal(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

struct Authority {
    std::string name;
    std::string port;
};

// "NAME[:PORT]", a missing port being the scheme's own, as browsers leave
// it out of Host and Origin.
Authority SplitAuthority(std::string_view text, bool tls) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return {Lower(text), tls ? "443" : "80"};
    }
    return {Lower(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

std::string_view Trim(std::string_view text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string line;
    if (!file || !std::getline(file, line) || line.size() > kTokenFileLimit) {
        throw Error("--token-file " + Printable(path) + ": cannot read a token from it");
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string WriteNewToken(const std::string& path) {
    const qd::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        throw Error("--token-file " + Printable(path) + ": " + std::strerror(errno));
    }
    std::string token = RandomSecret();
    const std::string line = token + "\n";
    if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        const int error = errno;
        (void)::unlink(path.c_str());
        throw Error("--token-file " + Printable(path) + ": " + std::strerror(error));
    }
    return token;
}

}  // namespace

std::string RandomSecret() {
    std::array<unsigned char, 32> bits{};
    if (RAND_bytes(bits.data(), static_cast<int>(bits.size())) != 1) {
        throw Error("the system gave no random bits for the console's secrets");
    }
    return qd::HexString(bits);
}

std::string LoadOrCreateToken(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
        return WriteNewToken(path);
    }
    std::string token = ReadFirstLine(path);
    if (!IsTokenText(token)) {
        throw Error(
            "--token-file " + Printable(path) + ": the first line must be a token of at least " +
            std::to_string(kMinTokenLength) + " characters, each a letter, a digit, '_' or '-'");
    }
    return token;
}

ConsoleAccess::ConsoleAccess(std::string token, ListenAddress listen, bool tls)
    : token_(std::move(token)), secret_(RandomSecret()), listen_(std::move(listen)), tls_(tls) {}

bool ConsoleAccess::HostAllowed(std::string_view host) const {
    const Authority authority = SplitAuthority(host, tls_);
    if (authority.port != std::to_string(listen_.port)) {
        return false;
    }
    if (IsWildcard(listen_)) {
        // A name could be rebound to this machine by anyone's DNS; a literal
        // cannot.
        return IsIpv4Literal(authority.name);
    }
    return authority.name == listen_.address ||
           (listen_.address == "127.0.0.1" && authority.name == "localhost");
}

bool ConsoleAccess::OriginAllowed(std::string_view origin, std::string_view host) const {
    const std::string_view scheme = tls_ ? "https://" : "http://";
    if (origin.substr(0, scheme.size()) != scheme) {
        return false;
    }
    const Authority from = SplitAuthority(origin.substr(scheme.size()), tls_);
    const Authority to = SplitAuthority(host, tls_);
    return from.name == to.name && from.port == to.port;
}

bool ConsoleAccess::HasSession(std::string_view cookieHeader) const {
    bool found = false;
    while (!cookieHeader.empty()) {
        const std::size_t end = cookieHeader.find(';');
        const std::string_view pair = Trim(cookieHeader.substr(0, end));
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == kCookieName) {
            found = SameSecret(pair.substr(equals + 1), secret_) || found;
        }
        cookieHeader =
            end == std::string_view::npos ? std::string_view() : cookieHeader.substr(end + 1);
    }
    return found;
}

AccessDecision ConsoleAccess::Judge(const AccessRequest& request) const {
    if (!HostAllowed(request.host)) {
        const std::string wanted = IsWildcard(listen_)
                                       ? "an IPv4 address with port " + std::to_string(listen_.port)
                                       : HostText(listen_);
        const std::string given =
            request.host.empty() ? "a request without Host" : Printable(std::string(request.host));
        return {AccessVerdict::kWrongHost, "this console answers to " + wanted + ", not " + given};
    }
    const bool reads = request.method == "GET" || request.method == "HEAD";
    if (!reads && !OriginAllowed(request.origin, request.host)) {
        const std::string given =
            request.origin.empty() ? "none" : Printable(std::string(request.origin));
        return {AccessVerdict::kWrongOrigin,
                "this console takes changes only from its own page (Origin: " + given + ")"};
    }
    const bool opensSession = request.method == "POST" && request.path == "/api/session";
    if (request.isPublic || opensSession || HasSession(request.cookie)) {
        return {};
    }
    if (reads && request.path.substr(0, 5) != "/api/") {
        return {AccessVerdict::kLoginPage, {}};
    }
    return {AccessVerdict::kNoSession,
            "no console session: open the address 'qdupk console' printed"};
}

bool ConsoleAccess::TokenMatches(std::string_view token) const {
    return SameSecret(token, token_);
}

std::string ConsoleAccess::SessionCookie() const {
    return std::string(kCookieName) + "=" + secret_ + "; HttpOnly; SameSite=Strict; Path=/" +
           (tls_ ? "; Secure" : "");
}

std::string ConsoleAccess::Url() const {
    return std::string(tls_ ? "https://" : "http://") + HostText(listen_) + "/#t=" + token_;
}

}  // namespace qdupk
