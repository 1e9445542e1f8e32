// The --wrap side of the fence: each __wrap_X stands in for the C library's
// X in every object of a fuzz target; __real_X is the library's own.
#include "sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_openat(int dirfd, const char* path, int flags, ...);
int __real_creat(const char* path, mode_t mode);
int __real_remove(const char* path);
int __real_unlink(const char* path);
int __real_rename(const char* from, const char* to);
int __real_chmod(const char* path, mode_t mode);
int __real_system(const char* command);
FILE* __real_popen(const char* command, const char* mode);
pid_t __real_fork(void);
int __real_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
pid_t __real_waitpid(pid_t pid, int* status, int options);
int __real_execv(const char* path, char* const argv[]);
int __real_execve(const char* path, char* const argv[], char* const envp[]);
int __real_execvp(const char* file, char* const argv[]);
int __real_nanosleep(const struct timespec* req, struct timespec* rem);
int __real_usleep(useconds_t usec);
unsigned __real_sleep(unsigned seconds);
}

namespace qdfuzz {

namespace {

const FencePolicy* g_policy = nullptr;
long g_refused = 0;

bool IsWithin(const char* resolved, const std::string& root) {
    const std::size_t n = root.size();
    return std::strncmp(resolved, root.c_str(), n) == 0 &&
           (resolved[n] == '\0' || resolved[n] == '/');
}

}  // namespace

// The file itself may not exist yet, so its directory is resolved; the last
// component must be a plain name and no symbolic link.
bool LiesIn(const std::string& root, const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    std::string full = path;
    if (full[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return false;
        }
        full = std::string(cwd) + "/" + full;
    }
    const std::size_t slash = full.rfind('/');
    const std::string dir = slash == 0 ? "/" : full.substr(0, slash);
    const std::string base = full.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        return false;
    }
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr || !IsWithin(resolved, root)) {
        return false;
    }
    struct stat st {};
    return lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode);
}

namespace {

// True when the call may go ahead; otherwise errno is EACCES, or the run
// ends when the target treats an escape as a finding.
bool MayChange(const char* what, const char* path) {
    if (g_policy == nullptr || LiesIn(g_policy->scratchDir, path)) {
        return true;
    }
    if (g_policy->abortOnEscape) {
        Fail(what, path == nullptr ? "(null)" : path);
    }
    ++g_refused;
    errno = EACCES;
    return false;
}

bool WritesMode(const char* mode) {
    return mode != nullptr && std::strpbrk(mode, "wa+") != nullptr;
}

bool WritesFlags(int flags) {
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

// The mode argument of the open family only exists with O_CREAT or O_TMPFILE.
mode_t OpenMode(int flags, std::va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

void RefuseInside(const char* what) {
    if (g_policy != nullptr) {
        Fail(what, "no program may start under fuzzing");
    }
}

}  // namespace

Confinement::Confinement(const FencePolicy& policy) {
    g_policy = &policy;
}

Confinement::~Confinement() {
    g_policy = nullptr;
}

long RefusedWrites() {
    return g_refused;
}

void Fail(const char* what, const std::string& detail) {
    g_policy = nullptr;
    static_cast<void>(std::fprintf(stderr, "qdfuzz: %s: %s\n", what, detail.c_str()));
    std::abort();
}

}  // namespace qdfuzz

using qdfuzz::MayChange;

extern "C" {

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (qdfuzz::WritesMode(mode) && !MayChange("fopen outside the scratch directory", path)) {
        return nullptr;
    }
    return __real_fopen(path, mode);
}

FILE* __wrap_fopen64(const char* path, const char* mode) {
    if (qdfuzz::WritesMode(mode) && !MayChange("fopen outside the scratch directory", path)) {
        return nullptr;
    }
    return __real_fopen64(path, mode);
}

int __wrap_open(const char* path, int flags, ...) {
    std::va_list args;
    va_start(args, flags);
    const mode_t mode = qdfuzz::OpenMode(flags, args);
    va_end(args);
    if (qdfuzz::WritesFlags(flags) && !MayChange("open outside the scratch directory", path)) {
        return -1;
    }
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
    std::va_list args;
    va_start(args, flags);
    const mode_t mode = qdfuzz::OpenMode(flags, args);
    va_end(args);
    if (qdfuzz::WritesFlags(flags) && !MayChange("open outside the scratch directory", path)) {
        return -1;
    }
    return __real_open64(path, flags, mode);
}

// Relative to another directory than the working one cannot be checked by
// name; under the fence only reading is allowed that way.
int __wrap_openat(int dirfd, const char* path, int flags, ...) {
    std::va_list args;
    va_start(args, flags);
    const mode_t mode = qdfuzz::OpenMode(flags, args);
    va_end(args);
    if (qdfuzz::WritesFlags(flags)) {
        const bool checkable = dirfd == AT_FDCWD || (path != nullptr && path[0] == '/');
        if (!MayChange("openat outside the scratch directory", checkable ? path : nullptr)) {
            return -1;
        }
    }
    return __real_openat(dirfd, path, flags, mode);
}

int __wrap_creat(const char* path, mode_t mode) {
    return MayChange("creat outside the scratch directory", path) ? __real_creat(path, mode) : -1;
}

int __wrap_remove(const char* path) {
    return MayChange("remove outside the scratch directory", path) ? __real_remove(path) : -1;
}

int __wrap_unlink(const char* path) {
    return MayChange("unlink outside the scratch directory", path) ? __real_unlink(path) : -1;
}

int __wrap_rename(const char* from, const char* to) {
    if (!MayChange("rename outside the scratch directory", from) ||
        !MayChange("rename outside the scratch directory", to)) {
        return -1;
    }
    return __real_rename(from, to);
}

int __wrap_chmod(const char* path, mode_t mode) {
    return MayChange("chmod outside the scratch directory", path) ? __real_chmod(path, mode) : -1;
}

int __wrap_system(const char* command) {
    if (qdfuzz::g_policy == nullptr) {
        return __real_system(command);
    }
    if (qdfuzz::g_policy->onCommand == nullptr) {
        qdfuzz::Fail("unexpected command", command == nullptr ? "(null)" : command);
    }
    return qdfuzz::g_policy->onCommand(command == nullptr ? std::string() : command, {});
}

// The command runner starts "/bin/sh -c COMMAND WORD..." and waits for it.
// Under a policy nothing starts: the policy answers for the command and its
// words, and the made-up child it "started" is reaped at once with that
// answer as its status.
namespace {
constexpr pid_t kFencedChild = 0x7FFFFFF0;
int g_fencedStatus = 0;
bool g_fencedPending = false;
}  // namespace

int __wrap_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
    if (qdfuzz::g_policy == nullptr) {
        return __real_posix_spawn(pid, path, actions, attr, argv, envp);
    }
    const bool viaShell = argv != nullptr && argv[0] != nullptr && argv[1] != nullptr &&
                          std::strcmp(argv[1], "-c") == 0 && argv[2] != nullptr;
    if (!viaShell || qdfuzz::g_policy->onCommand == nullptr) {
        qdfuzz::Fail("unexpected command", viaShell ? argv[2] : path);
    }
    qdfuzz::Words words;
    for (char* const* word = argv + 3; *word != nullptr; ++word) {
        words.emplace_back(*word);
    }
    g_fencedStatus = qdfuzz::g_policy->onCommand(argv[2], words);
    g_fencedPending = true;
    *pid = kFencedChild;
    return 0;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
    if (pid == kFencedChild && g_fencedPending) {
        g_fencedPending = false;
        if (status != nullptr) {
            *status = g_fencedStatus;
        }
        return pid;
    }
    return __real_waitpid(pid, status, options);
}

FILE* __wrap_popen(const char* command, const char* mode) {
    qdfuzz::RefuseInside("popen");
    return __real_popen(command, mode);
}

pid_t __wrap_fork(void) {
    qdfuzz::RefuseInside("fork");
    return __real_fork();
}

int __wrap_execv(const char* path, char* const argv[]) {
    qdfuzz::RefuseInside("execv");
    return __real_execv(path, argv);
}

int __wrap_execve(const char* path, char* const argv[], char* const envp[]) {
    qdfuzz::RefuseInside("execve");
    return __real_execve(path, argv, envp);
}

int __wrap_execvp(const char* file, char* const argv[]) {
    qdfuzz::RefuseInside("execvp");
    return __real_execvp(file, argv);
}

int __wrap_nanosleep(const struct timespec* req, struct timespec* rem) {
    if (qdfuzz::g_policy != nullptr) {
        if (rem != nullptr) {
            *rem = {0, 0};
        }
        return 0;
    }
    return __real_nanosleep(req, rem);
}

int __wrap_usleep(useconds_t usec) {
    return qdfuzz::g_policy != nullptr ? 0 : __real_usleep(usec);
}

unsigned __wrap_sleep(unsigned seconds) {
    return qdfuzz::g_policy != nullptr ? 0 : __real_sleep(seconds);
}

}  // extern "C"
