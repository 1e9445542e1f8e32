// The page compiled into qdupk: every file of web/ byte for byte under its
// path and type, only the sign-in page and what it needs public, and no
// inline script or style, which the console's Content-Security-Policy
// would block in the browser.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "console_assets.h"
#include "test_support.h"

namespace {

struct Expected {
    const char* path;
    const char* file;
    const char* type;
    bool isPublic;
};

constexpr Expected kPage[] = {
    {"/", "index.html", "text/html; charset=utf-8", false},
    {"/app.js", "app.js", "text/javascript; charset=utf-8", false},
    {"/app.css", "app.css", "text/css; charset=utf-8", true},
    {"/login", "login.html", "text/html; charset=utf-8", true},
    {"/login.js", "login.js", "text/javascript; charset=utf-8", true},
};

std::string WebFile(const std::string& name) {
    return qdtest::ReadFile(std::string(QD_SOURCE_DIR) + "/tools/qdupk/console/web/" + name);
}

TEST(ConsoleAssets, EveryFileServedAsWrittenWithItsType) {
    for (const Expected& e : kPage) {
        const qdupk::ConsoleAsset* asset = qdupk::FindAsset(e.path);
        ASSERT_NE(asset, nullptr) << e.path;
        EXPECT_EQ(asset->body, WebFile(e.file)) << e.path;
        EXPECT_EQ(asset->type, e.type) << e.path;
        EXPECT_EQ(asset->isPublic, e.isPublic) << e.path;
    }
    EXPECT_EQ(qdupk::FindAsset("/index.html"), nullptr);
    EXPECT_EQ(qdupk::FindAsset("/app.js/"), nullptr);
    EXPECT_EQ(qdupk::FindAsset(""), nullptr);
}

TEST(ConsoleAssets, PagesHaveNoInlineScriptOrStyle) {
    const std::regex inlineScript(R"(<script(?![^>]*\bsrc=)[^>]*>)", std::regex::icase);
    const std::regex inlineStyle(R"(<style\b|\sstyle=|\son[a-z]+=)", std::regex::icase);
    for (const char* page : {"index.html", "login.html"}) {
        const std::string html = WebFile(page);
        EXPECT_FALSE(std::regex_search(html, inlineScript)) << page;
        EXPECT_FALSE(std::regex_search(html, inlineStyle)) << page;
    }
}

}  // namespace
