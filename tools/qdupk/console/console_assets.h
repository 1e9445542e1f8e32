// The page (HTML, CSS, JavaScript) compiled into qdupk: a site without
// internet access gets the whole console from the binary.
#ifndef QDUPK_TOOL_CONSOLE_ASSETS_H
#define QDUPK_TOOL_CONSOLE_ASSETS_H

#include <cstddef>
#include <string_view>

namespace qdupk {

struct ConsoleAsset {
    std::string_view path;  // "/", "/app.js", ...
    std::string_view type;  // "text/html; charset=utf-8", ...
    std::string_view body;
    // Served without a session: the page that trades the URL's token for
    // the session cookie, and its script. Nothing in them is secret.
    bool isPublic = false;
};

// nullptr when no asset has this path. "/" is the console page itself;
// "/login" the token exchange page served to a browser without a session.
const ConsoleAsset* FindAsset(std::string_view path);

}  // namespace qdupk

#endif  // QDUPK_TOOL_CONSOLE_ASSETS_H
