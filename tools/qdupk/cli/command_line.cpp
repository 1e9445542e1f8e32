#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <regex>
#include <sstream>
#include <vector>

#include "commands.h"

namespace qdupk {

namespace {

constexpr std::size_t kLineWidth = 79;
constexpr std::size_t kMaxLabelColumn = 26;

bool IsFlag(const CLI::Option& option) {
    return option.get_expected_max() == 0;
}

// "-o" for a required option (the short name where there is one),
// "--timeout" otherwise.
std::string SynopsisName(const CLI::Option& option) {
    if (option.get_positional()) {
        return option.get_name();
    }
    const std::vector<std::string>& shortNames = option.get_snames();
    const std::string name = option.get_required() && !shortNames.empty()
                                 ? "-" + shortNames.front()
                                 : "--" + option.get_lnames().front();
    return IsFlag(option) ? name : name + " " + option.get_type_name();
}

// Operands first, then options in the order the command added them, help
// last: the order usage lines have always had.
std::vector<const CLI::Option*> Ordered(const CLI::App& app) {
    const std::vector<const CLI::Option*> options = app.get_options();
    std::vector<const CLI::Option*> ordered;
    for (const bool positional : {true, false}) {
        std::copy_if(options.begin(), options.end(), std::back_inserter(ordered),
                     [&](const CLI::Option* o) {
                         return o->get_positional() == positional && o != app.get_help_ptr();
                     });
    }
    return ordered;
}

std::string Synopsis(const CLI::App& app) {
    std::string line = CommandName(app);
    if (!app.get_subcommands({}).empty()) {
        return line + " COMMAND [ARGS...]";
    }
    for (const CLI::Option* option : Ordered(app)) {
        const std::string name = SynopsisName(*option);
        line += " " + (option->get_required() ? name : "[" + name + "]");
    }
    return line;
}

std::string Label(const CLI::Option& option) {
    if (option.get_positional()) {
        return option.get_name();
    }
    std::string label = option.get_name(false, true);
    for (std::size_t comma = label.find(','); comma != std::string::npos;
         comma = label.find(',', comma + 2)) {
        label.insert(comma + 1, " ");
    }
    return IsFlag(option) ? label : label + " " + option.get_type_name();
}

// The text wrapped at word boundaries, continuation lines indented.
std::string Wrap(const std::string& text, std::size_t indent) {
    std::istringstream words(text);
    std::string wrapped;
    std::size_t column = indent;
    for (std::string word; words >> word;) {
        if (column > indent && column + 1 + word.size() > kLineWidth) {
            wrapped += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            wrapped += ' ';
            ++column;
        }
        wrapped += word;
        column += word.size();
    }
    return wrapped;
}

std::string OptionTable(const CLI::App& app) {
    std::vector<const CLI::Option*> ordered = Ordered(app);
    if (app.get_help_ptr() != nullptr) {
        ordered.push_back(app.get_help_ptr());
    }
    std::size_t width = 0;
    for (const CLI::Option* option : ordered) {
        width = std::max(width, Label(*option).size());
    }
    const std::size_t column = std::min(width + 5, kMaxLabelColumn);
    std::string table;
    for (const CLI::Option* option : ordered) {
        std::string line = "  " + Label(*option);
        line += line.size() + 1 < column ? std::string(column - line.size(), ' ')
                                         : "\n" + std::string(column, ' ');
        table += line + Wrap(option->get_description(), column) + "\n";
    }
    return table;
}

std::string CommandTable(const CLI::App& app) {
    std::string table = "commands:\n";
    for (const CLI::App* command : app.get_subcommands({})) {
        char line[128];
        (void)std::snprintf(line, sizeof line, "  %-8s %s\n", command->get_name().c_str(),
                            command->get_description().c_str());
        table += line;
    }
    return table;
}

// The parser's messages start as sentences ("The following argument was not
// expected"); after "error:" they read as the tool's own. Names stay as they
// are ("PKG is required").
std::string AsClause(std::string message) {
    if (message.size() > 1 && std::isupper(static_cast<unsigned char>(message[0])) != 0 &&
        std::islower(static_cast<unsigned char>(message[1])) != 0) {
        message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
    }
    return message;
}

}  // namespace

std::string HelpFormatter::make_help(const CLI::App* app, std::string /*name*/,
                                     CLI::AppFormatMode /*mode*/) const {
    const bool isTool = !app->get_subcommands({}).empty();
    std::string help = "usage: " + Synopsis(*app) + "\n\n";
    help += isTool ? CommandTable(*app) : OptionTable(*app);
    if (!app->get_footer().empty()) {
        help += "\n" + app->get_footer();
    }
    return help;
}

std::string CommandName(const CLI::App& app) {
    const CLI::App* parent = app.get_parent();
    return parent == nullptr ? app.get_name() : CommandName(*parent) + " " + app.get_name();
}

CLI::Option* AddSeconds(CLI::App& command, const std::string& name, Millis& out,
                        const std::string& help) {
    const CLI::Validator seconds(
        [](std::string& text) {
            return ParseSeconds(text)
                       ? std::string()
                       : "needs a number of seconds above 0 (at most a day), not " + text;
        },
        "");
    return command
        .add_option_function<std::string>(
            name, [&out](const std::string& text) { out = ParseSeconds(text).value_or(out); }, help)
        ->check(seconds)
        ->type_name("S");
}

const char kCounterHelp[] =
    "the seal's anti-rollback counter (default 0): a camera with a counter file refuses a "
    "package whose counter is below the highest it has taken";

CLI::Option* AddCounter(CLI::App& command, const std::string& name,
                        std::optional<std::uint64_t>& out, const std::string& help) {
    const CLI::Validator counter(
        [](std::string& text) {
            return ParseCounter(text)
                       ? std::string()
                       : "needs a whole number from 0 to 18446744073709551615, not " + text;
        },
        "");
    return command
        .add_option_function<std::string>(
            name, [&out](const std::string& text) { out = ParseCounter(text); }, help)
        ->check(counter)
        ->type_name("N");
}

CLI::Option* AddMaxAnswers(CLI::App& command, std::size_t& out) {
    return command
        .add_option("--max-answers", out,
                    "keep at most N answering cameras; answers beyond are dropped (default 1024)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}).description(""))
        ->type_name("N");
}

CLI::Validator HostPortCheck() {
    return CLI::Validator(
        [](const std::string& text) {
            return ParseHostPort(text) ? std::string()
                                       : "needs HOST:PORT with a port from 1 to 65535, not " + text;
        },
        "");
}

int UsageError(const CLI::App& app, const std::string& message) {
    const std::string name = CommandName(app);
    (void)std::fprintf(stderr, "%s: error: %s\nsee '%s --help'\n", name.c_str(),
                       AsClause(message).c_str(), name.c_str());
    return kExitUsage;
}

std::string OurWording(const std::string& message) {
    struct Rewording {
        const char* pattern;
        const char* format;
    };
    static const Rewording kRewordings[] = {
        {R"(^(\S+): \d+ required (\S+) missing$)", "$1 needs a value ($2)"},
        {R"(^Could not convert: (\S+) = (.*)$)", "$1 cannot take '$2'"},
        {R"(^The value (.*) is not an allowed value for (\S+)$)", "$2 cannot take '$1'"},
        {R"(^(\S+): (too many inputs for a flag|Should be true/false or a number)$)",
         "$1 takes no value"},
        {R"(^(\S+): Value (\S+) not in range (\S+) to (\S+)$)",
         "$1 needs a number from $3 to $4, not $2"},
        {R"(^(\S+) requires (\S+)$)", "$1 needs $2 as well"},
        {R"(^(\S+) excludes (\S+)$)", "$1 and $2 cannot be given together"},
        // The tool's own checks say "needs ..."; the library puts a colon before.
        {R"(^(\S+): (needs .*)$)", "$1 $2"},
    };
    for (const Rewording& rewording : kRewordings) {
        const std::regex pattern(rewording.pattern);
        if (std::regex_match(message, pattern)) {
            return std::regex_replace(message, pattern, rewording.format);
        }
    }
    return message;
}

}  // namespace qdupk
