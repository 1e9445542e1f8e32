// The command runner: how a command ended, that words reach the script
// unparsed, that the log is out before a command starts, and that the
// caller's signals stay the caller's while the child starts with a clean
// signal state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "qd_log.h"
#include "qd_owners.h"
#include "shell_command.h"
#include "test_support.h"

namespace {

using Kind = qd::CommandStatus::Kind;

volatile sig_atomic_t g_interrupts = 0;

void CountInterrupt(int /*signal*/) {
    g_interrupts = g_interrupts + 1;
}

// Sets a signal's disposition for the test and restores it afterwards.
class ScopedDisposition {
  public:
    ScopedDisposition(int sig, void (*handler)(int)) : sig_(sig) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        sigaction(sig_, &action, &previous_);
    }
    ~ScopedDisposition() { sigaction(sig_, &previous_, nullptr); }
    ScopedDisposition(const ScopedDisposition&) = delete;
    ScopedDisposition& operator=(const ScopedDisposition&) = delete;

  private:
    int sig_;
    struct sigaction previous_ {};
};

TEST(RunCommand, ReportsHowTheCommandEnded) {
    const qd::CommandStatus ok = qd::RunCommand("true");
    EXPECT_TRUE(ok.Succeeded());
    const qd::CommandStatus failed = qd::RunCommand("exit 3");
    EXPECT_EQ(failed.kind, Kind::kExited);
    EXPECT_EQ(failed.value, 3);
    EXPECT_FALSE(failed.Succeeded());
    const qd::CommandStatus killed = qd::RunCommand("kill -KILL $$");
    EXPECT_EQ(killed.kind, Kind::kKilled);
    EXPECT_EQ(killed.value, SIGKILL);

    char text[64];
    qd::DescribeStatus(killed, text, sizeof text);
    EXPECT_STREQ(text, "killed by signal 9");
    qd::DescribeStatus({Kind::kNotRun, ENOENT}, text, sizeof text);
    EXPECT_STREQ(text, "not run (No such file or directory)");
}

// Words are exec arguments, not shell text: whatever they hold reaches the
// script as one argument each, and nothing in them runs.
TEST(RunCommand, WordsReachTheScriptAsTheyAreAndNothingInThemRuns) {
    qdtest::ScratchDir dir;
    const std::string out = dir.file("args");
    const std::string ran = dir.file("ran");
    const std::string touch = "touch '" + ran + "'";
    const std::string odd[] = {
        "a b; " + touch, "$(" + touch + ")", "`" + touch + "`", "it's \"quoted\"\n" + touch, "-x",
    };
    const char* const words[] = {odd[4].c_str(), odd[0].c_str(), odd[1].c_str(), odd[2].c_str(),
                                 nullptr};
    const std::string script = "printf '%s|' \"$0\" \"$#\" \"$@\" > '" + out + "'";
    ASSERT_TRUE(qd::RunCommand(script.c_str(), words).Succeeded());
    EXPECT_EQ(qdtest::ReadFile(out), odd[4] + "|3|" + odd[0] + "|" + odd[1] + "|" + odd[2] + "|");

    const char* const quoted[] = {"sh", odd[3].c_str(), nullptr};
    ASSERT_TRUE(qd::RunCommand(script.c_str(), quoted).Succeeded());
    EXPECT_EQ(qdtest::ReadFile(out), "sh|1|" + odd[3] + "|");
    EXPECT_FALSE(qdtest::FileExists(ran));

    const char* const tooMany[] = {"sh", "1", "2", "3", "4", nullptr};
    const qd::CommandStatus refused = qd::RunCommand(("touch '" + ran + "'").c_str(), tooMany);
    EXPECT_EQ(refused.kind, Kind::kNotRun);
    EXPECT_EQ(refused.value, E2BIG);
    EXPECT_FALSE(qdtest::FileExists(ran));
}

// Lines gathered before a command are out before it starts: its own output
// lands after them, and a command that ends the process (reboot) finds the
// whole log written.
TEST(RunCommand, GatheredLogLinesAreOutBeforeTheCommandStarts) {
    qdtest::ScratchDir dir;
    const std::string log = dir.file("log");
    const std::string seen = dir.file("seen");
    std::fflush(stdout);
    const qd::UniqueFd saved(dup(STDOUT_FILENO));
    const qd::UniqueFd file(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ASSERT_TRUE(saved.valid() && file.valid());
    ASSERT_GE(dup2(file.get(), STDOUT_FILENO), 0);
    qd::GatherTraceLines();
    QD_LOG_GATHER("before the command\n");
    const char* const words[] = {"sh", log.c_str(), seen.c_str(), nullptr};
    const bool copied = qd::RunCommand("cp \"$1\" \"$2\"", words).Succeeded();
    std::fflush(stdout);
    static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ));
    dup2(saved.get(), STDOUT_FILENO);
    ASSERT_TRUE(copied);
    EXPECT_NE(qdtest::ReadFile(seen).find("before the command\n"), std::string::npos);
}

// A SIGINT that arrives while a command runs reaches the caller's handler
// (a daemon must still stop afterwards), and the command is waited for to
// its end all the same.
TEST(RunCommand, SignalToTheCallerDuringTheCommandIsNotLost) {
    const ScopedDisposition handler(SIGINT, CountInterrupt);
    g_interrupts = 0;
    const qd::CommandStatus status = qd::RunCommand("kill -INT $PPID; exit 4");
    EXPECT_EQ(g_interrupts, 1);
    EXPECT_EQ(status.kind, Kind::kExited);
    EXPECT_EQ(status.value, 4);
}

// Whatever the caller blocks or ignores: nothing is blocked in the child,
// SIGPIPE is at its default, and the child leads a process group of its own.
TEST(RunCommand, ChildStartsWithACleanSignalStateInItsOwnProcessGroup) {
    const ScopedDisposition ignored(SIGPIPE, SIG_IGN);
    sigset_t usr1;
    sigset_t previous;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr1, &previous), 0);

    qdtest::ScratchDir dir;
    const std::string out = dir.file("child");
    // Builtins only: while the shell waits for a child of its own, it
    // blocks signals itself.
    const std::string command =
        "{ while read -r key value; do case $key in Sig[BI]??:) echo \"$key $value\";; esac; "
        "done < /proc/$$/status; echo $$; read -r pid comm state ppid pgrp rest < /proc/$$/stat; "
        "echo $pgrp; } > '" +
        out + "'";
    const qd::CommandStatus status = qd::RunCommand(command.c_str());
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(status.Succeeded());

    std::istringstream lines(qdtest::ReadFile(out));
    std::string blocked, ignoredMask, pid, pgrp;
    lines >> blocked >> blocked >> ignoredMask >> ignoredMask >> pid >> pgrp;
    EXPECT_EQ(blocked, "0000000000000000");
    const unsigned long long sigpipeBit = 1ULL << (SIGPIPE - 1);
    EXPECT_EQ(std::stoull(ignoredMask, nullptr, 16) & sigpipeBit, 0u) << ignoredMask;
    EXPECT_EQ(pgrp, pid);
    EXPECT_NE(std::stol(pgrp), static_cast<long>(getpgrp()));
}

}  // namespace
