// qdupk upload HOST:PORT PKG [--no-verify] [--retries R] [--timeout S]
// [--connect-timeout S]: a rollout of one target, shown as a progress bar.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "printable.h"
#include "rollout_package.h"
#include "upload_output.h"

namespace qdupk {

namespace {

constexpr char kName[] = "upload";

const char kUploadDetails[] =
    "Sends the package to the camera's upload port and waits until the camera\n"
    "has verified and installed it and acknowledges; the camera then reboots.\n"
    "The package is opened and verified here first, and that open file is what\n"
    "is sent; one the camera would refuse is not sent. Packages above\n"
    "2147483647 bytes are refused. --retries R: a connection that could not be\n"
    "made or broke before the last package byte is tried again after 2 s, then\n"
    "4 s, ..., R times at most (default 0).\n"
    "\n"
    "Exit status: 0 accepted (the camera reboots); 3 the camera closed the\n"
    "connection without acknowledgement (refused or failed on the camera);\n"
    "4 no connection, or the network failed; 5 time-out; 1 the package was\n"
    "refused here (damaged, empty, too large, unreadable), nothing sent; 2 usage.\n";

struct UploadArgs {
    HostPort target;
    std::string package;
    bool skipVerify = false;
    RolloutSettings settings;
};

int RunUpload(UploadArgs& args) {
    const RolloutPackage package = OpenRolloutPackage(args.package);
    if (!args.skipVerify) {
        const std::string verified = VerifyOpened(package, args.package, SealPolicy{}, nullptr,
                                                  "nothing sent; --no-verify sends it anyway");
        (void)std::printf("%s: verified: %s\n", Printable(args.package).c_str(), verified.c_str());
    }
    (void)std::fflush(stdout);
    RolloutSettings& settings = args.settings;
    settings.attempt.packageFd = package.fd.get();
    settings.attempt.size = package.size;
    settings.policy.parallel = 1;
    UploadOutput output(stdout, isatty(STDOUT_FILENO) == 1, package.size, settings.attempt.timeout);
    const RolloutOutcome outcome = RunRollout({args.target}, settings, output);
    return UploadExitStatus(outcome.records.front().result);
}

}  // namespace

Command AddUpload(CLI::App& tool) {
    auto args = std::make_shared<UploadArgs>();
    args->settings.policy.retries = 0;
    CLI::App* command =
        tool.add_subcommand(kName, "send a package to a camera and wait for its verdict");
    command
        ->add_option_function<std::string>(
            "HOST:PORT",
            [args](const std::string& text) {
                args->target = ParseHostPort(text).value_or(args->target);
            },
            "the camera's address and upload port")
        ->required()
        ->check(HostPortCheck());
    command->add_option("PKG", args->package, "the package to send")->required();
    command->add_flag("--no-verify", args->skipVerify,
                      "send the package without checking it first");
    command
        ->add_option("--retries", args->settings.policy.retries,
                     "tries again after a failed connection, R times at most (default 0)")
        ->check(CLI::Range(0, 20).description(""))
        ->type_name("R");
    AttemptSettings& attempt = args->settings.attempt;
    AddSeconds(*command, "--timeout", attempt.timeout,
               "seconds to wait for the acknowledgement after the last byte, and longest stall "
               "while sending (default 600: flash and MCU firmware take minutes)");
    AddSeconds(*command, "--connect-timeout", attempt.connectTimeout,
               "seconds to wait for the connection (default 10)");
    command->footer(kUploadDetails);
    return {command, [args] { return RunUpload(*args); }};
}

}  // namespace qdupk
