// A manifest's sections and keys as the INI library's line grammar reads
// them; the manifest's own rules (trimming, strictness) are applied here.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "etc_lines.h"
#include "manifest.h"

namespace qdupk {

namespace {

constexpr int kEtcNoFile = -1;

struct RawLine {
    int number = 0;
    etcfile::EtcLineKind kind = etcfile::EtcLineKind::kKey;
    std::string name;
    std::string value;
    bool hasEquals = false;
    bool cut = false;
};

// Manifests are edited on every kind of machine: a value typed as
// "key = value" or saved with CRLF line ends means "value".
std::string Trimmed(const std::string& text) {
    const char* const kBlanks = " \t\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The walk runs inside the INI library, which no exception may cross: the
// lines are copied out and judged afterwards. Out of memory on the host
// ends the tool here.
bool Collect(void* context, const etcfile::EtcLine& line) {
    static_cast<std::vector<RawLine>*>(context)->push_back({line.number, line.kind,
                                                            Trimmed(line.name), Trimmed(line.value),
                                                            line.hasEquals, line.cut});
    return true;
}

// Empty, or what follows the manifest's name in the message.
std::string FileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? ": no such file"
                               : std::string(": cannot read: ") + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return " is a directory, not a manifest file";
    }
    return S_ISREG(st.st_mode) ? std::string() : " is not a regular file";
}

std::vector<RawLine> ReadLines(const std::string& path) {
    const std::string problem = FileProblem(path);
    if (!problem.empty()) {
        throw Error("manifest " + path + problem);
    }
    std::vector<RawLine> lines;
    const int ret = etcfile::etc_ForEachLine(path.c_str(), Collect, &lines);
    if (ret != 0) {
        throw Error("manifest " + path + ": cannot read" +
                    (ret == kEtcNoFile ? ": " + std::string(std::strerror(errno)) : ""));
    }
    return lines;
}

// Empty when the line is one the manifest takes.
std::string LineProblem(const RawLine& line, bool inSection) {
    if (line.cut) {
        return "the line is longer than 1023 characters";
    }
    if (line.kind == etcfile::EtcLineKind::kSection) {
        return line.name.empty() ? "a section header without a name" : std::string();
    }
    if (!line.hasEquals) {
        return "\"" + line.name + "\" is neither a [section] header nor a key=value line";
    }
    if (line.name.empty()) {
        return "a value without a key";
    }
    return inSection ? std::string() : "key \"" + line.name + "\" stands above the first section";
}

std::string AtLine(const std::string& path, int number, const std::string& problem) {
    return "manifest " + path + ", line " + std::to_string(number) + ": " + problem;
}

}  // namespace

std::vector<ManifestSection> ListManifest(const std::string& path) {
    std::vector<ManifestSection> sections;
    for (RawLine& line : ReadLines(path)) {
        // An empty line saved with CRLF is a bare "\r" to the library.
        if (line.kind == etcfile::EtcLineKind::kKey && line.name.empty() && !line.hasEquals) {
            continue;
        }
        const std::string problem = LineProblem(line, !sections.empty());
        if (!problem.empty()) {
            throw Error(AtLine(path, line.number, problem));
        }
        if (line.kind == etcfile::EtcLineKind::kSection) {
            sections.push_back({line.number, std::move(line.name), {}});
        } else {
            sections.back().keys.push_back(
                {line.number, std::move(line.name), std::move(line.value)});
        }
    }
    return sections;
}

}  // namespace qdupk
