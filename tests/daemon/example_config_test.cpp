// The example configuration installed as etc/qdboot.cfg must be one the
// daemon accepts, with the values its comments describe. Its MAC address
// line stays commented out, so installing the example as it is never
// changes a camera's MAC address.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "qdboot_config_status.h"
#include "test_support.h"

// Every (section, key) the daemon's configuration asks the INI library for,
// recorded on the way: this test is linked with --wrap for both lookups.
using KeyName = std::pair<std::string, std::string>;
static std::set<KeyName> g_lookups;

extern "C" {
int __real_EtcGetValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                           char* pValue, int iLen) noexcept;
int __real_EtcGetIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                              int* value) noexcept;

int __wrap_EtcGetValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                           char* pValue, int iLen) noexcept {
    g_lookups.emplace(pSection, pKey);
    return __real_EtcGetValueFile(pEtcFile, pSection, pKey, pValue, iLen);
}

int __wrap_EtcGetIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                              int* value) noexcept {
    g_lookups.emplace(pSection, pKey);
    return __real_EtcGetIntValueFile(pEtcFile, pSection, pKey, value);
}
}

namespace {

TEST(ExampleConfig, IsAcceptedWithTheValuesItDescribes) {
    QDBOOT_CFG_T cfg{};
    ASSERT_EQ(LoadQdbootConfig(QD_SOURCE_DIR "/etc/qdboot.cfg", &cfg), 0);
    EXPECT_EQ(cfg.nPort, 8080);
    EXPECT_STREQ(cfg.szDeviceName, "dome-camera");
    EXPECT_STREQ(cfg.szUartArm, "/dev/ttyS1");
    EXPECT_EQ(cfg.emUartBaud, QD_COMM_BITRATE_115200);
    EXPECT_STREQ(cfg.szMainApp, "camapp");
    EXPECT_STREQ(cfg.szMacAddr, "");
    EXPECT_STREQ(cfg.szTmpDir, "/tmp");
    EXPECT_STREQ(cfg.szEraseCmd, "flash_eraseall");
    EXPECT_STREQ(cfg.szCopyCmd, "flashcp");
    EXPECT_EQ(cfg.nBlockSize, 0x10000);

    // The boot loader is named but not rewritten; kernel and root file
    // system are.
    const MTDCFG_T* parts[] = {&cfg.stUboot, &cfg.stKernel, &cfg.stRootfs};
    const char* names[] = {"/dev/mtd0", "/dev/mtd1", "/dev/mtd2"};
    const int allMtd[] = {0, 1, 1};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(parts[i]->bValid, 1) << names[i];
        EXPECT_STREQ(parts[i]->szMtdName, names[i]);
        EXPECT_EQ(parts[i]->bAllMtd, allMtd[i]) << names[i];
    }
    EXPECT_EQ(cfg.stKernel.nPos + cfg.stKernel.nSize, cfg.stRootfs.nPos);
}

// Every [seal] example the documentation gives must load as it says:
// placeholders filled with a real key, no slip, a usable key. The README's
// key rotation once left key2= empty, which the daemon refused at start-up.
// A snippet is the lines of a README ini block, of a manual page's .nf
// block, or the example file's commented-out section.
const char kValidKey[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The blocks between a line matching `open` and the next matching `close`,
// each line with what matches `drop` taken out.
std::vector<std::string> Blocks(const std::string& text, const std::regex& open,
                                const std::regex& close, const std::regex& drop) {
    std::vector<std::string> blocks;
    bool inside = false;
    for (const std::string& line : Lines(text)) {
        if (!inside) {
            inside = std::regex_match(line, open);
            blocks.resize(blocks.size() + (inside ? 1 : 0));
        } else if (std::regex_match(line, close)) {
            inside = false;
        } else {
            blocks.back() += std::regex_replace(line, drop, "") + "\n";
        }
    }
    return blocks;
}

// The example file ships its optional sections commented out: ";[seal]"
// and the ";key=value" lines under it.
std::vector<std::string> CommentedSection(const std::string& text, const std::string& name) {
    std::string section;
    for (const std::string& line : Lines(text)) {
        const bool keyLine = std::regex_match(line, std::regex(";[a-z_0-9]+=.*"));
        if (line == ";" + name || (!section.empty() && keyLine)) {
            section += line.substr(1) + "\n";
        } else if (!section.empty()) {
            break;
        }
    }
    return {section};
}

std::vector<std::string> Snippets(const std::string& path, const std::string& name) {
    const std::string text = qdtest::ReadFile(std::string(QD_SOURCE_DIR) + "/" + path);
    std::vector<std::string> blocks;
    if (path == "README.md") {
        blocks = Blocks(text, std::regex(" *```ini"), std::regex(" *```"), std::regex("^ +"));
    } else if (path == "etc/qdboot.cfg") {
        blocks = CommentedSection(text, name);
    } else {  // roff: "\-" is a plain hyphen
        blocks = Blocks(text, std::regex("\\.nf"), std::regex("\\.fi"), std::regex("\\\\(?=-)"));
    }
    std::vector<std::string> snippets;
    for (const std::string& block : blocks) {
        if (block.find(name) != std::string::npos) {
            snippets.push_back(std::regex_replace(block, std::regex("<[^>\n]*>"), kValidKey));
        }
    }
    return snippets;
}

TEST(ExampleConfig, EverySealSnippetOfTheDocumentationLoads) {
    qdtest::ScratchDir dir;
    const std::string file = dir.file("snippet.cfg");
    for (const char* path : {"README.md", "doc/man/qdboot.cfg.5", "etc/qdboot.cfg"}) {
        const std::vector<std::string> snippets = Snippets(path, "[seal]");
        EXPECT_FALSE(snippets.empty()) << "no [seal] example found in " << path;
        for (const std::string& snippet : snippets) {
            SCOPED_TRACE(std::string(path) + ":\n" + snippet);
            qdtest::WriteFile(file, snippet);
            SealConfig seal{};
            LoadSealConfig(file.c_str(), &seal);
            EXPECT_STREQ(seal.szSlip, "");
            EXPECT_TRUE(SealHasUsableKey(seal));
            for (const SealKeySlot slot : seal.emSlots) {
                EXPECT_TRUE(slot == SealKeySlot::kUsable || slot == SealKeySlot::kEmpty);
            }
            QDBOOT_CFG_T cfg{};
            if (snippet.find("[system]") != std::string::npos) {
                EXPECT_EQ(LoadQdbootConfig(file.c_str(), &cfg), 0);
            }
        }
    }
}

// And every [bootenv] example, with the second slots beside it.
TEST(ExampleConfig, EveryBootenvSnippetOfTheDocumentationLoads) {
    qdtest::ScratchDir dir;
    const std::string file = dir.file("snippet.cfg");
    for (const char* path : {"README.md", "doc/man/qdboot.cfg.5", "etc/qdboot.cfg"}) {
        const std::vector<std::string> snippets = Snippets(path, "[bootenv]");
        EXPECT_FALSE(snippets.empty()) << "no [bootenv] example found in " << path;
        for (const std::string& snippet : snippets) {
            SCOPED_TRACE(std::string(path) + ":\n" + snippet);
            qdtest::WriteFile(file, snippet);
            BootenvConfig boot{};
            LoadBootenvConfig(file.c_str(), &boot);
            EXPECT_TRUE(boot.bPresent);
            EXPECT_STREQ(boot.szProblem, "");
            if (snippet.find("[kernel]") != std::string::npos) {
                EXPECT_STRNE(boot.szKernelB, "");
                EXPECT_STRNE(boot.szRootfsB, "");
            }
        }
    }
}

// The example with its optional sections in force, so that every loader
// reads every key it knows.
std::set<KeyName> KeysTheDaemonReads(const qdtest::ScratchDir& dir) {
    const std::string example = qdtest::ReadFile(QD_SOURCE_DIR "/etc/qdboot.cfg");
    const std::string file = dir.file("all.cfg");
    qdtest::WriteFile(
        file, std::regex_replace(example, std::regex("^;(\\[|[a-z_0-9]+=)", std::regex::multiline),
                                 "$1"));
    g_lookups.clear();
    QDBOOT_CFG_T cfg{};
    static_cast<void>(LoadQdbootConfig(file.c_str(), &cfg));
    SealConfig seal{};
    LoadSealConfig(file.c_str(), &seal);
    BootenvConfig boot{};
    LoadBootenvConfig(file.c_str(), &boot);
    StatusConfig status{};
    LoadStatusConfig(file.c_str(), &status);
    return g_lookups;
}

// The lines that name a manual page's entries (those after ".TP"), under
// the ".SH" headings that name `section`.
std::string PageEntries(const std::string& page, const std::string& section) {
    std::string entries;
    bool inSection = false;
    bool afterTp = false;
    for (const std::string& line : Lines(page)) {
        if (line.rfind(".SH", 0) == 0) {
            inSection = line.find("[" + section + "]") != std::string::npos;
        } else if (inSection && afterTp) {
            entries += line + "\n";
        }
        afterTp = line == ".TP";
    }
    return entries;
}

// Whether a line of `text` has `key` (letters, digits and "_" only)
// between the patterns `before` and `after`.
bool Mentions(const std::string& text, const char* before, const std::string& key,
              const char* after) {
    std::string pattern(before);
    pattern.append(key).append(after);
    return std::regex_search(text, std::regex(pattern, std::regex::multiline));
}

// A key the daemon reads and nobody can look up is one a camera's owner
// never learns of: the manual page describes it in its section, the example
// file shows it (as a line or in the list of its section's keys), and the
// README's configuration reference has a row for it.
TEST(ExampleConfig, EveryKeyTheDaemonReadsIsDocumented) {
    qdtest::ScratchDir dir;
    const std::set<KeyName> keys = KeysTheDaemonReads(dir);
    for (const KeyName& known : {KeyName{"system", "port"}, KeyName{"rootfs", "szMtdNameB"},
                                 KeyName{"seal", "counter_file"}, KeyName{"status", "detail"},
                                 KeyName{"bootenv", "health_timeout"}}) {
        EXPECT_EQ(keys.count(known), 1U) << "lookups not recorded: " << known.second;
    }
    const std::string page = qdtest::ReadFile(QD_SOURCE_DIR "/doc/man/qdboot.cfg.5");
    const std::string example = qdtest::ReadFile(QD_SOURCE_DIR "/etc/qdboot.cfg");
    const std::string readme = qdtest::ReadFile(QD_SOURCE_DIR "/README.md");
    for (const auto& [section, key] : keys) {
        SCOPED_TRACE("[" + section + "] " + key);
        EXPECT_TRUE(Mentions(PageEntries(page, section), "(^|[ \"])", key, "([ \",]|$)"))
            << "not in qdboot.cfg(5)";
        EXPECT_TRUE(Mentions(example, "^;?", key, "=") || Mentions(example, "^; +", key, " "))
            << "not in etc/qdboot.cfg";
        EXPECT_TRUE(Mentions(readme, "^\\|.*`", key, "`")) << "not in the README";
    }
}

}  // namespace
