// qdupk upload HOST:PORT PKG [--no-verify] [--timeout S] [--connect-timeout S]
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "command_line.h"
#include "commands.h"
#include "package_reader.h"
#include "printable.h"
#include "upload_protocol.h"
#include "uploader.h"

namespace qdupk {

namespace {

constexpr char kName[] = "upload";
constexpr int kExitNotAccepted = 3;
constexpr int kExitConnection = 4;
constexpr int kExitTimeout = 5;

const char kUploadDetails[] =
    "Sends the package to the camera's upload port and waits until the camera\n"
    "has verified and installed it and acknowledges; the camera then reboots.\n"
    "The package is verified here first, and one the camera would refuse is\n"
    "not sent. Packages above 2147483647 bytes are refused.\n"
    "\n"
    "Exit status: 0 accepted (the camera reboots); 3 the camera closed the\n"
    "connection without acknowledgement (refused or failed on the camera);\n"
    "4 no connection, or the network failed; 5 time-out; 1 the package was\n"
    "refused here (damaged, empty, too large, unreadable), nothing sent; 2 usage.\n";

struct UploadArgs {
    UploadRequest request;
    bool skipVerify = false;
};

// The size the camera will be told; empty error text when it can take it.
std::string CheckSize(const std::string& path, std::uint64_t& size) {
    const std::string problem = PackageFileProblem(path);
    struct stat info {};
    if (!problem.empty() || stat(path.c_str(), &info) != 0) {
        return problem.empty() ? "cannot read " + path + ": " + std::strerror(errno) : problem;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    if (size > qd::kMaxUploadLength) {
        return path + " has " + std::to_string(size) + " bytes; a camera takes at most " +
               std::to_string(qd::kMaxUploadLength);
    }
    return std::string();
}

const char* VerdictOf(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::kAccepted:
            return "ACCEPTED";
        case UploadOutcome::kNotAccepted:
            return "NOT ACCEPTED";
        case UploadOutcome::kConnectionFailed:
            return "NO CONNECTION";
        case UploadOutcome::kTimedOut:
            return "TIMED OUT";
        case UploadOutcome::kLocalError:
            break;
    }
    return "error";
}

int ExitCodeOf(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::kAccepted:
            return kExitOk;
        case UploadOutcome::kNotAccepted:
            return kExitNotAccepted;
        case UploadOutcome::kConnectionFailed:
            return kExitConnection;
        case UploadOutcome::kTimedOut:
            return kExitTimeout;
        case UploadOutcome::kLocalError:
            break;
    }
    return kExitFailed;
}

// Empty error text when the package may be sent.
std::string CheckPackage(const UploadArgs& parsed) {
    if (parsed.skipVerify) {
        return std::string();
    }
    const VerifyResult result = VerifyPackage(parsed.request.packagePath, std::nullopt);
    if (!result.accepted) {
        return parsed.request.packagePath +
               ": the camera would refuse it: " + Printable(result.message) +
               " (nothing sent; --no-verify sends it anyway)";
    }
    std::printf("%s: verified: %s\n", parsed.request.packagePath.c_str(),
                Printable(result.message).c_str());
    return std::string();
}

int RunUpload(UploadArgs& parsed) {
    std::string error = CheckSize(parsed.request.packagePath, parsed.request.size);
    if (error.empty()) {
        error = CheckPackage(parsed);
    }
    if (!error.empty()) {
        return Failure(kName, error);
    }
    (void)std::fflush(stdout);
    TransferProgress progress(stdout, isatty(STDOUT_FILENO) == 1, parsed.request.size);
    const UploadReport report = UploadPackage(parsed.request, progress);
    // One result line: on stdout for success, on stderr otherwise.
    std::FILE* out = report.outcome == UploadOutcome::kAccepted ? stdout : stderr;
    (void)std::fprintf(out, "qdupk upload: %s: %s\n", VerdictOf(report.outcome),
                       report.message.c_str());
    return ExitCodeOf(report.outcome);
}

}  // namespace

Command AddUpload(CLI::App& tool) {
    auto args = std::make_shared<UploadArgs>();
    CLI::App* command =
        tool.add_subcommand(kName, "send a package to a camera and wait for its verdict");
    command
        ->add_option_function<std::string>(
            "HOST:PORT",
            [args](const std::string& text) {
                args->request.target = ParseHostPort(text).value_or(args->request.target);
            },
            "the camera's address and upload port")
        ->required()
        ->check(CLI::Validator(
            [](const std::string& text) {
                return ParseHostPort(text)
                           ? std::string()
                           : "needs HOST:PORT with a port from 1 to 65535, not " + text;
            },
            ""));
    command->add_option("PKG", args->request.packagePath, "the package to send")->required();
    command->add_flag("--no-verify", args->skipVerify,
                      "send the package without checking it first");
    AddSeconds(*command, "--timeout", args->request.timeout,
               "seconds to wait for the acknowledgement after the last byte, and longest stall "
               "while sending (default 600: flash and MCU firmware take minutes)");
    AddSeconds(*command, "--connect-timeout", args->request.connectTimeout,
               "seconds to wait for the connection (default 10)");
    command->footer(kUploadDetails);
    return {command, [args] { return RunUpload(*args); }};
}

}  // namespace qdupk
