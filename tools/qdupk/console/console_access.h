// Who may use the console: the access token the printed address carries,
// the session cookie a browser gets for it, and the Host and Origin checks
// that keep other web pages (DNS rebinding, cross-site forms) out. No HTTP
// library here: each rule is a plain function of the request's few headers.
#ifndef QDUPK_TOOL_CONSOLE_ACCESS_H
#define QDUPK_TOOL_CONSOLE_ACCESS_H

#include <string>
#include <string_view>
#include <utility>

#include "console_listen.h"

namespace qdupk {

// Sent with every answer. The page keeps its script and style in files of
// its own so the policy can forbid anything inline.
extern const std::pair<const char*, const char*> kSecurityHeaders[4];

constexpr std::size_t kMinTokenLength = 32;

// 256 random bits as 64 hex digits. Throws Error when the system has no
// randomness to give.
std::string RandomSecret();

// --token-file F: the token on F's first line, or, when F does not exist, a
// new one written to it (mode 0600). Throws Error for a token that is too
// short or has other characters than A-Z, a-z, 0-9, '_' and '-'.
std::string LoadOrCreateToken(const std::string& path);

// The parts of a request the rules look at; empty when the header is absent.
struct AccessRequest {
    std::string_view method;
    std::string_view path;
    std::string_view host;
    std::string_view origin;
    std::string_view cookie;  // the whole Cookie header
    // A path served without a session (the login page and its script).
    bool isPublic = false;
};

enum class AccessVerdict {
    kAllow,
    kLoginPage,   // a page without a session: the login page instead
    kNoSession,   // an API call or event stream without a session: 401
    kWrongHost,   // 403
    kWrongOrigin  // 403
};

struct AccessDecision {
    AccessVerdict verdict = AccessVerdict::kAllow;
    std::string message;  // for people, when refused
};

class ConsoleAccess {
  public:
    // `listen` with the port actually bound; `tls`: served over https.
    ConsoleAccess(std::string token, ListenAddress listen, bool tls);

    AccessDecision Judge(const AccessRequest& request) const;

    // Compared in constant time, so timing tells nothing of the token.
    bool TokenMatches(std::string_view token) const;
    // The Set-Cookie value that opens a session.
    std::string SessionCookie() const;
    // What the console prints: the address with the token in its fragment,
    // which browsers never send to a server nor keep in a Referer.
    std::string Url() const;

  private:
    bool HostAllowed(std::string_view host) const;
    bool OriginAllowed(std::string_view origin, std::string_view host) const;
    bool HasSession(std::string_view cookieHeader) const;

    std::string token_;
    std::string secret_;
    ListenAddress listen_;
    bool tls_;
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_ACCESS_H
