// qdupk upload HOST:PORT PKG [--no-verify | --pubkey K --min-counter N]
// [--retries R] [--timeout S] [--connect-timeout S] [--json]: a rollout of
// one target, shown as a progress bar.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "printable.h"
#include "rollout_request.h"
#include "upload_output.h"

namespace qdupk {

namespace {

constexpr char kName[] = "upload";

const char kUploadDetails[] =
    "Sends the package to the camera's upload port and waits until the camera\n"
    "has verified and installed it and acknowledges; the camera then reboots.\n"
    "The package is opened and verified here first, and that open file is what\n"
    "is sent; one the camera would refuse is not sent (with --pubkey and\n"
    "--min-counter, as a camera with those keys and that counter would judge\n"
    "it). A camera that refuses the package is asked for its status, and its\n"
    "reason is shown when it names this package. Packages above\n"
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
    RolloutRequest request;
    bool skipVerify = false;
    bool json = false;
};

// The package, verified as the keys and counter demand unless --no-verify,
// and the status side that asks a refusing camera why.
PreparedRollout Prepare(const UploadArgs& args) {
    const RolloutRequest& request = args.request;
    if (args.skipVerify) {
        PreparedRollout prepared;
        prepared.package = OpenRolloutPackage(request.package);
        return prepared;
    }
    PreparedRollout prepared = OpenAndVerify(request, "nothing sent; --no-verify sends it anyway");
    if (!args.json) {
        (void)std::printf("%s: verified: %s\n", Printable(request.package).c_str(),
                          prepared.verified.c_str());
    }
    // Without the package's identity no reason can be matched to it; and
    // one that cannot be asked keeps the upload's own words.
    try {
        prepared.status = std::make_unique<StatusClient>();
    } catch (const Error&) {
        prepared.status.reset();
    }
    return prepared;
}

int RunUpload(UploadArgs& args) {
    const PreparedRollout prepared = Prepare(args);
    (void)std::fflush(stdout);
    RolloutSettings settings = SettingsFor(args.request, prepared);
    settings.policy.parallel = 1;
    std::unique_ptr<RolloutObserver> output;
    if (args.json) {
        output = std::make_unique<UploadJsonOutput>(stdout);
    } else {
        output = std::make_unique<UploadOutput>(stdout, isatty(STDOUT_FILENO) == 1,
                                                prepared.package.size, settings.attempt.timeout);
    }
    const RolloutOutcome outcome = RunRollout({args.target}, settings, *output);
    return UploadExitStatus(outcome.records.front().result);
}

}  // namespace

Command AddUpload(CLI::App& tool) {
    auto args = std::make_shared<UploadArgs>();
    args->request.policy.retries = 0;
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
    RolloutRequest& request = args->request;
    command->add_option("PKG", request.package, "the package to send")->required();
    CLI::Option* noVerify = command->add_flag("--no-verify", args->skipVerify,
                                              "send the package without checking it first");
    command
        ->add_option("--pubkey", request.publicKeys,
                     "require a signature by this public key, as 'qdupk verify' does")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME.pub")
        ->excludes(noVerify);
    AddCounter(*command, "--min-counter", request.minCounter,
               "refuse a seal counter below N, as 'qdupk verify' does")
        ->excludes(noVerify);
    command->add_flag("--json", args->json,
                      "print the verdict as one JSON object (target, result, reason, bytes, "
                      "seconds) instead of progress and a verdict line");
    command
        ->add_option("--retries", request.policy.retries,
                     "tries again after a failed connection, R times at most (default 0)")
        ->check(CLI::Range(0, 20).description(""))
        ->type_name("R");
    AttemptSettings& attempt = request.attempt;
    AddSeconds(*command, "--timeout", attempt.timeout,
               "seconds to wait for the acknowledgement after the last byte, and longest stall "
               "while sending (default 600: flash and MCU firmware take minutes)");
    AddSeconds(*command, "--connect-timeout", attempt.connectTimeout,
               "seconds to wait for the connection (default 10)");
    command->footer(kUploadDetails);
    return {command, [args] { return RunUpload(*args); }};
}

}  // namespace qdupk
