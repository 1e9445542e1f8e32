// qdupk rollout PKG [TARGETS...] [--targets FILE] [--search] ...: one package
// to many cameras at once, with canaries, a failure limit, retries and a
// report.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "command_line.h"
#include "commands.h"
#include "json_line.h"
#include "keys.h"
#include "package_reader.h"
#include "printable.h"
#include "rollout_interrupt.h"
#include "rollout_output.h"
#include "rollout_package.h"
#include "rollout_plan.h"
#include "rollout_plan_output.h"
#include "rollout_report.h"
#include "rollout_request.h"
#include "rollout_sources.h"
#include "rollout_status.h"
#include "rollout_targets.h"

namespace qdupk {

namespace {

constexpr char kName[] = "rollout";

const char kRolloutDetails[] =
    "Uploads the package to every target, at most --parallel at once, each as\n"
    "'qdupk upload' would. The package is opened and verified here once, and\n"
    "that open file is what is sent; a package a camera would refuse goes\n"
    "nowhere. Targets come from the command line, from a file (one HOST:PORT a\n"
    "line, '#' comments; a regular text file of at most 1 MiB) and from a\n"
    "search, in that order. A search takes each camera's address from where its\n"
    "answer came from, ignores answers from this PC's own and special addresses,\n"
    "keeps at most --max-answers cameras and sorts them by address. A target\n"
    "that reaches a camera already listed (127.1:80 after 127.0.0.1:80) is\n"
    "dropped with a warning; no target at all is refused.\n"
    "\n"
    "--canary K: the first K targets go first, and the others only when all K\n"
    "succeeded (with --wait-return: confirmed, or came back). A connection that\n"
    "could not be made or broke before the last package byte is retried after\n"
    "2 s, then 4 s, ...; a camera that took the whole package and refused it,\n"
    "or did not answer in time, is not. Ctrl-C, SIGTERM or SIGHUP starts no\n"
    "new upload and lets the running ones finish; a second one aborts them.\n"
    "The report is written anyway. While the rollout runs, each result is\n"
    "appended to FILE.partial beside the report (CSV rows under the header, or\n"
    "one JSON object a line), flushed at once; the report itself is written\n"
    "to a temporary file and renamed into place, and FILE.partial removed.\n"
    "A FILE.partial left by an earlier rollout is never overwritten: the\n"
    "rollout refuses to start.\n"
    "\n"
    "--dry-run (-n): verifies the package and prints the plan: the targets in\n"
    "order, the canaries, the batches --parallel gives and the limits. With\n"
    "--probe or --search, a search is sent to each target's own address and\n"
    "each is marked as answering or not; no connection is made (a camera\n"
    "serves one connection at a time).\n"
    "\n"
    "--wait-return S: each target's status is asked before anything is sent.\n"
    "A camera that reports status counts as done only when its status after the\n"
    "reboot shows the package just sent as good (confirmed) within\n"
    "--confirm-timeout S (default 300) of its acknowledgement; rolled-back,\n"
    "recovery and unconfirmed are failures. One without a boot journal, and any\n"
    "camera for a package without kernel or root file system image, is done once\n"
    "its status shows it restarted. A camera that gave no status before (an\n"
    "older one) is done once it went down and answers a search again, within S.\n"
    "A camera that refuses the package is asked for its status, and its reason\n"
    "is shown when it names this package.\n"
    "\n"
    "--retries R given: a camera that came back in recovery gets the same\n"
    "package again after the retry pause, as one of its R retries, and is\n"
    "judged again; its reason keeps the story (\"came back in recovery (state\n"
    "failed) after attempt 1; pushed again (attempt 2 of 3); confirmed: ...\").\n"
    "Without --retries, recovery is its result.\n"
    "\n"
    "Report (--report, .csv or .json): every target with its result (ok,\n"
    "rolled-back, recovery, unconfirmed, refused, no-connection, timeout,\n"
    "not-back, not-started, aborted), reason, bytes sent in the last attempt,\n"
    "seconds from the first connect to the verdict, attempts, whether it came\n"
    "back, and whether its new firmware confirmed.\n"
    "\n"
    "Exit status: 0 every target succeeded; 1 refused here, nothing sent (the\n"
    "package, the targets file, no targets, the search), or the report could\n"
    "not be written; 2 usage; 3 some targets failed (rolled-back, recovery and\n"
    "unconfirmed are failures); 4 stopped at the canary; 5 stopped at the\n"
    "failure limit; 130 interrupted. 4 wins over 5, 5 over 3;\n"
    "4 and 5 only when some target was left out because of it.\n";

struct RolloutArgs {
    RolloutRequest request;
    std::size_t maxFailures = 0;  // 0: no limit
    bool dryRun = false;
    bool probe = false;
    bool json = false;
    std::string report;
};

// The few lines a long list of warnings shows; the rest are counted.
constexpr std::size_t kWarningsShown = 10;

void WarnEach(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size() && i < kWarningsShown; ++i) {
        Warning(kName, lines[i]);
    }
    if (lines.size() > kWarningsShown) {
        Warning(kName, "... and " + std::to_string(lines.size() - kWarningsShown) + " more");
    }
}

void Announce(const RolloutArgs& args, const std::string& verified,
              const std::vector<HostPort>& targets) {
    if (args.json) {
        (void)std::printf("%s\n", JsonLine({{"event", "package"},
                                            {"path", args.request.package},
                                            {"verified", verified},
                                            {"targets", targets.size()}})
                                      .c_str());
    } else {
        (void)std::printf("%s: verified: %s\n", Printable(args.request.package).c_str(),
                          verified.c_str());
        (void)std::printf("%zu target%s\n", targets.size(), targets.size() == 1 ? "" : "s");
    }
    (void)std::fflush(stdout);
}

// Canaries that guard less than the user may think.
void WarnCanary(const RolloutRequest& request, std::size_t targets) {
    const std::size_t canary = request.policy.canary;
    if (canary == 0) {
        return;
    }
    if (!request.waitReturn) {
        Warning(kName,
                "--canary without --wait-return: canaries are judged by their acknowledgement "
                "alone, not by whether their new firmware starts");
    }
    if (canary >= targets) {
        Warning(kName, "--canary " + std::to_string(canary) + " is not below the " +
                           std::to_string(targets) + " target" + (targets == 1 ? "" : "s") +
                           ": every target is a canary, none waits for them");
    }
}

// Fails early when the report could not be written at the end.
void CheckReportPlace(const std::string& path) {
    if (!path.empty()) {
        try {
            const AtomicFile trial(path);
        } catch (const Error& e) {
            throw Error(std::string("--report: ") + e.what());
        }
    }
}

int Finish(const RolloutArgs& args, OutputKind kind, const RolloutOutcome& outcome,
           PartialReport* partial = nullptr) {
    PrintSummary(kind, stdout, outcome);
    if (args.report.empty()) {
        return outcome.exitStatus;
    }
    try {
        WriteReport(args.report, outcome.records, outcome.stop);
    } catch (const Error& e) {
        (void)Failure(
            kName, e.what() + (partial != nullptr ? "; the results so far are in " + partial->path()
                                                  : std::string()));
        return outcome.exitStatus == kExitOk ? kExitFailed : outcome.exitStatus;
    }
    if (partial != nullptr) {
        partial->MarkFinished();
    }
    return outcome.exitStatus;
}

// The results as they come, for a rollout that does not live to write its
// report; none without --report.
std::unique_ptr<PartialReport> OpenPartial(const std::string& report) {
    if (report.empty()) {
        return nullptr;
    }
    try {
        return std::make_unique<PartialReport>(report);
    } catch (const Error& e) {
        throw Error(std::string("--report: ") + e.what());
    }
}

// The probe that tells whether an older camera came back; none without
// --wait-return or when every target reports status. Set up before
// anything is sent, so a failure sends nothing.
std::unique_ptr<MulticastReturnProbe> OpenProbe(const RolloutRequest& request,
                                                const PreparedRollout& prepared) {
    if (!request.waitReturn) {
        return nullptr;
    }
    try {
        return OpenReturnProbe(prepared.before, request.sources.interface);
    } catch (const Error& e) {
        throw Error(std::string("--wait-return: ") + e.what());
    }
}

// With --probe or --search, whether each target answers a search sent to
// it; empty otherwise.
std::vector<bool> ProbeAnswers(const RolloutArgs& args, const std::vector<HostPort>& targets) {
    const TargetSources& sources = args.request.sources;
    if (!args.probe && !sources.search) {
        return {};
    }
    try {
        std::optional<SearchInterface> iface;
        if (!sources.interface.empty()) {
            iface = ResolveInterface(sources.interface);
        }
        MulticastReturnProbe probe(iface);
        return ProbeTargets(targets, probe, sources.searchTimeout);
    } catch (const Error& e) {
        throw Error(std::string("--probe: ") + e.what());
    }
}

int DryRun(const RolloutArgs& args, OutputKind kind, const std::vector<HostPort>& targets) {
    PrintPlan(kind, stdout, {targets, args.request, ProbeAnswers(args, targets)});
    RolloutOutcome outcome;
    for (const HostPort& target : targets) {
        outcome.records.push_back({target, TargetResult::kNotStarted, "dry run"});
    }
    outcome.exitStatus = kExitOk;
    return Finish(args, kind, outcome);
}

int Upload(RolloutArgs& args, OutputKind kind, const std::vector<HostPort>& targets,
           const PreparedRollout& prepared, PartialReport* partial) {
    RolloutSettings settings = SettingsFor(args.request, prepared);
    const InterruptGuard guard;
    settings.interrupts = guard.presses();
    settings.waitMask = guard.waitMask();
    const std::unique_ptr<RolloutObserver> output = MakeOutput(kind, stdout);
    if (partial == nullptr) {
        return Finish(args, kind, RunRollout(targets, settings, *output));
    }
    ReportingObserver reporting(*output, *partial);
    const RolloutOutcome outcome = RunRollout(targets, settings, reporting);
    if (partial->failed()) {
        Warning(kName, "could not write all of " + partial->path());
    }
    return Finish(args, kind, outcome, partial);
}

int Roll(RolloutArgs& args) {
    RolloutRequest& request = args.request;
    if (args.maxFailures > 0) {
        request.policy.maxFailures = args.maxFailures;
    }
    // Checked once here, through the descriptor every upload then sends from.
    PreparedRollout prepared = OpenAndVerify(request);
    const CollectedTargets collected = CollectTargets(request.sources);
    for (const std::vector<std::string>& group : collected.warnings) {
        WarnEach(group);
    }
    const std::vector<HostPort>& targets = collected.targets;
    WarnCanary(request, targets.size());
    CheckReportPlace(args.report);
    // Before anything is asked or sent, so a refusal leaves the network quiet.
    const std::unique_ptr<PartialReport> partial = args.dryRun ? nullptr : OpenPartial(args.report);
    if (!args.dryRun) {
        AskStatusBefore(request, targets, prepared);
        prepared.probe = OpenProbe(request, prepared);
    }
    Announce(args, prepared.verified, targets);
    const OutputKind kind = args.json                    ? OutputKind::kJson
                            : isatty(STDOUT_FILENO) == 1 ? OutputKind::kLive
                                                         : OutputKind::kPlain;
    if (args.dryRun) {
        return DryRun(args, kind, targets);
    }
    PrintBefore(kind, stdout, targets, prepared.before);
    return Upload(args, kind, targets, prepared, partial.get());
}

int RunRolloutCommand(RolloutArgs& args) {
    if (!args.report.empty() && !IsReportPath(args.report)) {
        throw CLI::ValidationError("--report",
                                   "needs a file name ending in .csv or .json, not " + args.report);
    }
    if (args.request.sources.named.empty() && args.request.sources.file.empty() &&
        !args.request.sources.search) {
        throw CLI::ValidationError("TARGETS", "name targets, give --targets FILE or --search");
    }
    return Roll(args);
}

void AddTargetOptions(CLI::App& command, RolloutArgs& args) {
    command
        .add_option("TARGETS", args.request.sources.named, "cameras as HOST:PORT, in this order")
        ->check(HostPortCheck());
    command
        .add_option("--targets", args.request.sources.file,
                    "read targets from FILE, one HOST:PORT a line")
        ->type_name("FILE");
    command.add_flag("--search", args.request.sources.search,
                     "add every camera that answers a search");
    command
        .add_option("--interface", args.request.sources.interface,
                    "search and probe on this interface, named or given by an address")
        ->type_name("IFNAME|ADDR");
    AddSeconds(command, "--search-timeout", args.request.sources.searchTimeout,
               "seconds to collect search answers (default 3)");
    AddMaxAnswers(command, args.request.sources.maxAnswers);
}

void AddPolicyOptions(CLI::App& command, RolloutArgs& args) {
    RolloutPolicy& policy = args.request.policy;
    command.add_option("-j,--parallel", policy.parallel, "at most N uploads at once (default 4)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000}).description(""))
        ->type_name("N");
    command
        .add_option("--canary", policy.canary,
                    "the first K targets go first; the rest only if all K succeed")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}).description(""))
        ->type_name("K");
    command
        .add_option("--max-failures", args.maxFailures,
                    "start no new upload once M targets failed (default: no limit)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}).description(""))
        ->type_name("M");
    command
        .add_option("--retries", policy.retries,
                    "tries again after a failed connection, R times at most (default 2); "
                    "given, also pushes the package again to a camera that came back in "
                    "recovery")
        ->check(CLI::Range(0, 20).description(""))
        ->each([&args](const std::string& /*text*/) { args.request.repushRecovery = true; })
        ->type_name("R");
    command
        .add_option_function<std::string>(
            "--wait-return",
            [&args](const std::string& text) { args.request.waitReturn = ParseSeconds(text); },
            "after the acknowledgement, wait for the camera's new firmware to confirm (or, "
            "for a camera without status, up to S seconds for it to reboot and answer "
            "searches again)")
        ->check(CLI::Validator(
            [](std::string& text) {
                return ParseSeconds(text) ? std::string()
                                          : "needs a number of seconds above 0, not " + text;
            },
            ""))
        ->type_name("S");
    AddSeconds(command, "--confirm-timeout", args.request.confirmTimeout,
               "with --wait-return, seconds from the acknowledgement for the new firmware to "
               "confirm (default 300)");
}

void AddUploadOptions(CLI::App& command, RolloutArgs& args) {
    AttemptSettings& attempt = args.request.attempt;
    AddSeconds(command, "--timeout", attempt.timeout,
               "per camera, seconds to wait for the acknowledgement, and longest stall while "
               "sending (default 600)");
    AddSeconds(command, "--connect-timeout", attempt.connectTimeout,
               "per camera, seconds to wait for the connection (default 10)");
    command
        .add_option("--pubkey", args.request.publicKeys,
                    "require a signature by this public key, as 'qdupk verify' does")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME.pub");
    AddCounter(command, "--min-counter", args.request.minCounter,
               "refuse a seal counter below N, as 'qdupk verify' does");
    CLI::Option* dryRun =
        command.add_flag("-n,--dry-run", args.dryRun,
                         "verify the package and print the plan (targets, canaries, batches, "
                         "limits); send nothing");
    command
        .add_flag("--probe", args.probe,
                  "with --dry-run, send a search to each target and say which answer (no "
                  "connection is made)")
        ->needs(dryRun);
    command.add_flag("--json", args.json, "print one JSON object per event and a summary");
    command
        .add_option("--report", args.report, "write every target's result to FILE.csv or FILE.json")
        ->type_name("FILE");
}

}  // namespace

Command AddRollout(CLI::App& tool) {
    auto args = std::make_shared<RolloutArgs>();
    CLI::App* command =
        tool.add_subcommand(kName, "upload a package to many cameras, a few at a time");
    command->add_option("PKG", args->request.package, "the package to send")->required();
    AddTargetOptions(*command, *args);
    AddPolicyOptions(*command, *args);
    AddUploadOptions(*command, *args);
    command->footer(kRolloutDetails);
    return {command, [args] { return RunRolloutCommand(*args); }};
}

}  // namespace qdupk
