// What every qdupk command shares on the command line: the help layout,
// option kinds that recur, and how errors are reported.
#ifndef QDUPK_TOOL_COMMAND_LINE_H
#define QDUPK_TOOL_COMMAND_LINE_H

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli_values.h"

namespace qdupk {

// "usage: qdupk CMD ..." first (scripts and users look for that line),
// then the options, one a line, then the command's footer.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override;
};

// "qdupk" or "qdupk CMD", as messages and usage lines name it.
std::string CommandName(const CLI::App& app);

// An option taking seconds (see ParseSeconds); a value that is not a
// usable time-out is a usage error naming the option.
CLI::Option* AddSeconds(CLI::App& command, const std::string& name, Millis& out,
                        const std::string& help);

// An option taking a seal counter (an unsigned 64-bit decimal number);
// anything else is a usage error naming the option.
CLI::Option* AddCounter(CLI::App& command, const std::string& name,
                        std::optional<std::uint64_t>& out, const std::string& help);
extern const char kCounterHelp[];

// Takes "HOST:PORT" with a port from 1 to 65535 (see ParseHostPort).
CLI::Validator HostPortCheck();

// --max-answers N: how many answering cameras a search keeps (1 to 1000000).
CLI::Option* AddMaxAnswers(CLI::App& command, std::size_t& out);

// "qdupk CMD: error: MESSAGE" and "see 'qdupk CMD --help'" on stderr; the
// usage exit status.
int UsageError(const CLI::App& app, const std::string& message);

// The option library's message as the tool's own would say it
// ("--devid needs a value (ID)" for "--devid: 1 required ID missing");
// other messages as they are.
std::string OurWording(const std::string& message);

}  // namespace qdupk

#endif  // QDUPK_TOOL_COMMAND_LINE_H
