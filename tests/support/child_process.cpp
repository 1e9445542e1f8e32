#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "qd_owners.h"
#include "test_timing.h"

namespace qdtest {

namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// Extra entries replace inherited ones of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& e : extra) {
            replaced = replaced || e.compare(0, key.size(), key) == 0;
        }
        if (!replaced) {
            merged.push_back(text);
        }
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& t : texts) {
        pointers.push_back(t.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(pid_t parent, char* const* argv, char* const* envp, int outputFd) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
    const int nullFd = open("/dev/null", O_RDWR);
    const int out = outputFd >= 0 ? outputFd : nullFd;
    if (nullFd < 0 || dup2(nullFd, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(out, STDERR_FILENO) < 0) {
        _exit(127);
    }
    // Descriptors of the test (sockets above all) must not live on in the child.
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
        close(fd);
    }
    execvpe(argv[0], argv, envp);
    _exit(127);
}

void ReadAvailable(int fd, std::string& output) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        output.append(buf, static_cast<size_t>(n));
    }
}

// Reads until end of output or the child's end; a grandchild that keeps the
// pipe open must not hold the caller up.
bool CollectOutput(int fd, ChildProcess& child, Clock::time_point deadline, std::string& output) {
    while (Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0) {
            const size_t before = output.size();
            ReadAvailable(fd, output);
            if (output.size() == before && (pfd.revents & (POLLIN | POLLHUP)) != 0) {
                return true;
            }
        } else if (!child.Running()) {
            while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
                const size_t before = output.size();
                ReadAvailable(fd, output);
                if (output.size() == before) {
                    break;
                }
            }
            return true;
        }
    }
    return false;
}

}  // namespace

ChildProcess::~ChildProcess() {
    Kill();
}

void ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         int outputFd) {
    if (pid_ > 0 && Running()) {
        throw std::runtime_error("child process already running");
    }
    if (argv.empty()) {
        throw std::runtime_error("no command to start");
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> envTexts = MergedEnvironment(env);
    std::vector<char*> argp = PointerArray(args);
    std::vector<char*> envp = PointerArray(envTexts);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ExecChild(parent, argp.data(), envp.data(), outputFd);
    }
    pid_ = pid;
    status_.reset();
}

bool ChildProcess::Reap(int flags) {
    int raw = 0;
    pid_t r = 0;
    do {
        r = waitpid(pid_, &raw, flags);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        status_ = DecodeStatus(raw);
        return true;
    }
    return false;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || status_) {
        return false;
    }
    return !Reap(WNOHANG);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    return WaitUntil(Clock::now() + Scaled(timeout));
}

std::optional<int> ChildProcess::WaitUntil(Clock::time_point deadline) {
    while (Running()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

void ChildProcess::Kill() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Reap(0);
    }
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& env) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    qd::UniqueFd readEnd(fds[0]);
    qd::UniqueFd writeEnd(fds[1]);
    ChildProcess child;
    child.Start(argv, env, writeEnd.get());
    writeEnd.reset();

    CommandResult result;
    const auto deadline = Clock::now() + Scaled(timeout);
    const bool ended = CollectOutput(readEnd.get(), child, deadline, result.output);
    const std::optional<int> status = ended ? child.WaitUntil(deadline) : std::nullopt;
    if (status) {
        result.status = *status;
    } else {
        result.timedOut = true;
        child.Kill();
    }
    return result;
}

}  // namespace qdtest
