// qdupk console [TARGETS...] [--listen ADDR:PORT] ...: the web console. One
// page and a small JSON API over the same engine as 'qdupk rollout', for a
// technician with a laptop on the cameras' switch.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "command_line.h"
#include "commands.h"
#include "console_access.h"
#include "console_assets.h"
#include "console_engine.h"
#include "console_listen.h"
#include "console_server.h"
#include "printable.h"
#include "qd_files.h"
#include "rollout_interrupt.h"

namespace qdupk {

namespace {

constexpr char kName[] = "console";
constexpr int kExitInterrupted = 130;

const char kConsoleDetails[] =
    "Serves the console's page and its JSON API at --listen (default\n"
    "127.0.0.1:8088; port 0 lets the system pick) and prints one line on stdout:\n"
    "'open http://ADDR:PORT/#t=TOKEN'. Open that address in a browser: the page\n"
    "trades the token for a session cookie. Every request needs that session,\n"
    "on loopback too, since any web page and any local user can reach a loopback\n"
    "port; the token never leaves the address's fragment, which browsers do not\n"
    "send.\n"
    "\n"
    "The page lists the cameras a search finds (or TARGETS and --targets with\n"
    "--no-search; more can be added on the page) with their status, takes a\n"
    "package and shows its verdict as 'qdupk verify' would (with the --pubkey\n"
    "keys), and runs one rollout at a time with the options of 'qdupk rollout',\n"
    "through the same engine: a bar per camera, cancel (as a first Ctrl-C) and\n"
    "abort (as a second), and the report --report would write. A package is\n"
    "kept in a private temporary folder, removed when the console ends.\n"
    "\n"
    "--listen on an address other machines reach needs --tls-cert and\n"
    "--tls-key, or --insecure-http: without TLS anyone on the network path can\n"
    "read the token and flash cameras. --token-file F keeps the token across\n"
    "runs (a new one is written to F, mode 0600, when F does not exist).\n"
    "--open shows the page in the desktop's browser (xdg-open) without putting\n"
    "the token on a command line. --netns NAME (root): the socket listens here,\n"
    "then the console works inside network namespace NAME.\n"
    "\n"
    "Ctrl-C, SIGTERM or SIGHUP ends the console; a running rollout is aborted\n"
    "as a second Ctrl-C would.\n"
    "\n"
    "Exit status: 1 could not start (listen address, certificate, token file,\n"
    "namespace); 2 usage; 130 ended by a signal.\n";

struct ConsoleArgs {
    ConsoleOptions engine;
    bool noSearch = false;
    std::string listen = "127.0.0.1:8088";
    std::string tokenFile;
    std::string tlsCert;
    std::string tlsKey;
    bool insecureHttp = false;
    std::string netns;
    bool open = false;
};

// The signals that end the console, blocked in every thread from start on
// (threads inherit the mask) so only the watcher below receives them.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

class SignalBlock {
  public:
    SignalBlock() {
        const sigset_t set = StopSignals();
        (void)pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalBlock() { (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

  private:
    sigset_t saved_{};
};

// Waits for a stop signal and stops the server. The server ignores a stop
// that comes while it is still starting, so the watcher asks again until
// serving has ended.
class SignalWatch {
  public:
    explicit SignalWatch(ConsoleServer& server) : server_(server), thread_([this] { Watch(); }) {}
    ~SignalWatch() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            served_ = true;
        }
        ended_.notify_all();
        if (!signalled_) {
            (void)pthread_kill(thread_.native_handle(), SIGHUP);
        }
        thread_.join();
    }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    bool signalled() const { return signalled_; }

  private:
    void Watch() {
        const sigset_t set = StopSignals();
        int signal = 0;
        (void)sigwait(&set, &signal);
        std::unique_lock<std::mutex> lock(mutex_);
        if (served_) {
            return;
        }
        signalled_ = true;
        do {
            server_.Stop();
        } while (
            !ended_.wait_for(lock, std::chrono::milliseconds(100), [this] { return served_; }));
    }

    ConsoleServer& server_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool served_ = false;
    std::atomic<bool> signalled_{false};
    std::thread thread_;
};

// The console's private folder (0700): the package files and the --open
// page live in it, and go with it.
class WorkDir {
  public:
    WorkDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qdupk-console-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw Error("cannot make a temporary folder in " + Printable(pattern) + ": " +
                        std::strerror(errno));
        }
        path_ = pattern;
    }
    ~WorkDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

ListenAddress CheckListen(const ConsoleArgs& args) {
    const std::optional<ListenAddress> listen = ParseListen(args.listen);
    if (!listen) {
        throw CLI::ValidationError("--listen",
                                   "needs ADDR:PORT with an IPv4 address and a port "
                                   "from 0 to 65535, not " +
                                       args.listen);
    }
    if (!IsLoopback(*listen) && args.tlsCert.empty() && !args.insecureHttp) {
        throw CLI::ValidationError("--listen",
                                   args.listen +
                                       " is reachable from other machines: give --tls-cert and "
                                       "--tls-key, or --insecure-http");
    }
    if (!IsLoopback(*listen) && args.insecureHttp) {
        Warning(kName,
                "--insecure-http: anyone on the network path can read the access token "
                "and flash cameras");
    }
    return *listen;
}

// A page that sends the browser on to the console: the token goes through
// a file only this user can read, never through xdg-open's command line.
bool WriteRedirectPage(const std::string& page, const std::string& url) {
    const std::string html =
        "<!doctype html><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" "
        "content=\"0; url=" +
        url +
        "\"><title>qdupk console</title>"
        "<a href=\"" +
        url + "\">qdupk console</a>\n";
    const qd::FilePtr file = qd::CreateFreshFile(page.c_str());
    return file && std::fputs(html.c_str(), file.get()) >= 0 && std::fflush(file.get()) == 0;
}

// Runs xdg-open FILE with stdout on stderr (stdout carries the one line
// scripts read) and no signal blocked; 0 or the error number.
int SpawnOpener(const std::string& file, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    (void)posix_spawn_file_actions_init(&actions);
    (void)posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    (void)posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    (void)posix_spawnattr_setsigmask(&attributes, &none);
    (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::string program = "xdg-open";
    std::string argument = file;
    char* argv[] = {program.data(), argument.data(), nullptr};
    const int failed = posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
    (void)posix_spawn_file_actions_destroy(&actions);
    (void)posix_spawnattr_destroy(&attributes);
    return failed;
}

void OpenInBrowser(const std::string& workDir, const std::string& url) {
    const std::string page = workDir + "/open.html";
    if (!WriteRedirectPage(page, url)) {
        Warning(kName, "--open: cannot write " + page + ": " + std::strerror(errno));
        return;
    }
    pid_t pid = -1;
    const int failed = SpawnOpener(page, pid);
    if (failed != 0) {
        Warning(kName, std::string("--open: cannot run xdg-open: ") + std::strerror(failed));
        return;
    }
    // xdg-open may wait for the browser; the console does not.
    std::thread([pid] {
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
            Warning(kName, "--open: xdg-open failed; open the printed address yourself");
        }
    }).detach();
}

int Serve(ConsoleServer& server, ConsoleEngine& engine, const ConsoleAccess& access,
          const ConsoleArgs& args) {
    bool served = false;
    bool signalled = false;
    {
        const SignalWatch watch(server);
        (void)std::printf("open %s\n", access.Url().c_str());
        (void)std::fflush(stdout);
        if (args.open) {
            OpenInBrowser(args.engine.workDir, access.Url());
        }
        served = server.Serve(engine, access);
        signalled = watch.signalled();
    }
    if (signalled) {
        return kExitInterrupted;
    }
    if (!served) {
        throw Error("the console could not serve on " +
                    access.Url().substr(0, access.Url().find('#')));
    }
    return kExitOk;
}

int RunConsole(ConsoleArgs& args) {
    const ListenAddress wanted = CheckListen(args);
    const std::string token =
        args.tokenFile.empty() ? RandomSecret() : LoadOrCreateToken(args.tokenFile);
    args.engine.sources.search = !args.noSearch;
    const SignalBlock blocked;
    // For the whole process, from before any thread starts: a page that
    // goes away mid-answer must not end the console.
    const IgnoreSigpipe pipes;
    const WorkDir work;
    args.engine.workDir = work.path();
    ConsoleServer server({args.engine.maxPackageSize, args.tlsCert, args.tlsKey, &FindAsset});
    const ListenAddress bound = server.Bind(wanted);
    // Before any other thread exists: they all start in the namespace.
    if (!args.netns.empty()) {
        EnterNetns(args.netns);
    }
    const ConsoleAccess access(token, bound, !args.tlsCert.empty());
    ConsoleEngine engine(args.engine);
    engine.Start();
    return Serve(server, engine, access, args);
}

void AddCameraOptions(CLI::App& command, ConsoleArgs& args) {
    TargetSources& sources = args.engine.sources;
    command.add_option("TARGETS", sources.named, "cameras to list from the start, as HOST:PORT")
        ->check(HostPortCheck());
    command
        .add_option("--targets", sources.file,
                    "also list the cameras in FILE, one HOST:PORT a line")
        ->type_name("FILE");
    command.add_flag("--no-search", args.noSearch,
                     "list only TARGETS, --targets and cameras added on the page; send no search");
    command
        .add_option("--interface", sources.interface,
                    "search on this interface, named or given by an address")
        ->type_name("IFNAME|ADDR");
    AddSeconds(command, "--search-timeout", sources.searchTimeout,
               "seconds to collect search answers (default 3)");
    AddMaxAnswers(command, sources.maxAnswers);
    command
        .add_option("--pubkey", args.engine.publicKeys,
                    "require a signature by this public key, as 'qdupk verify' does")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME.pub");
    command
        .add_option("--max-package-size", args.engine.maxPackageSize,
                    "refuse a package over N bytes (default 2147483647)")
        ->check(
            CLI::Range(std::uint64_t{1}, std::numeric_limits<std::uint64_t>::max()).description(""))
        ->type_name("N");
}

void AddServeOptions(CLI::App& command, ConsoleArgs& args) {
    command.add_option("--listen", args.listen, "serve at ADDR:PORT (default 127.0.0.1:8088)")
        ->type_name("ADDR:PORT");
    command
        .add_option("--token-file", args.tokenFile,
                    "take the access token from F, or write a new one there")
        ->type_name("F");
    CLI::Option* cert =
        command.add_option("--tls-cert", args.tlsCert, "serve https with this certificate (PEM)")
            ->type_name("F");
    CLI::Option* key =
        command.add_option("--tls-key", args.tlsKey, "the certificate's private key (PEM)")
            ->type_name("F");
    cert->needs(key);
    key->needs(cert);
    command
        .add_flag("--insecure-http", args.insecureHttp,
                  "serve plain http on an address other machines reach")
        ->excludes(cert);
    command.add_option("--netns", args.netns, "listen here, then work in network namespace NAME")
        ->type_name("NAME");
    command.add_flag("--open", args.open, "open the console in the desktop's browser");
}

}  // namespace

Command AddConsole(CLI::App& tool) {
    auto args = std::make_shared<ConsoleArgs>();
    CLI::App* command = tool.add_subcommand(
        kName, "serve a web page to find cameras, pick a package and roll it out");
    AddCameraOptions(*command, *args);
    AddServeOptions(*command, *args);
    command->footer(kConsoleDetails);
    return {command, [args] { return RunConsole(*args); }};
}

}  // namespace qdupk
