// Start-up steps: where the configuration is, the wait for an address and
// the configured MAC address.
#include "startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "boot_journal.h"
#include "netif.h"
#include "package_seal.h"
#include "qd_log.h"
#include "qd_text.h"
#include "seal_counter.h"
#include "shell_command.h"
#include "stop_signals.h"
#include "uboot_env.h"

namespace {

constexpr const char* kDefaultConfigPath = "./qdboot.cfg";
constexpr unsigned kAddressPollSeconds = 2;
// "ifconfig eth0 hw ether " and a MAC text of at most 31 characters.
constexpr std::size_t kMacCommandSize = 64;
constexpr std::size_t kPolicySize = 768;
constexpr std::size_t kJournalSize = 512;

// "; boot journal in ENV: running slot a, state trial" and the like.
void DescribeJournal(const BootenvConfig& boot, char* text, std::size_t size) noexcept {
    if (boot.szProblem[0] != '\0') {
        QD_LOG_ERR("[bootenv]: %s: packages with flash images are refused until it is fixed\n",
                   boot.szProblem);
        static_cast<void>(qd::CopyText(text, size, "; no boot journal: [bootenv] needs fixing"));
        return;
    }
    JournalRecord record{};
    const int loaded = LoadJournal(boot.szConfig, &record);
    const char running = RunningSlot(boot.szCmdline);
    char shown[32] = "the recovery system";
    if (!boot.bRecovery) {
        static_cast<void>(
            qd::FormatText(shown, sizeof shown, "slot %c", running != '\0' ? running : '?'));
    }
    if (loaded != 0) {
        static_cast<void>(qd::FormatText(text, size,
                                         "; boot journal in %s: running %s, environment "
                                         "unreadable (%s): uploads are refused",
                                         boot.szConfig, shown, UbootEnvProblem(loaded)));
        return;
    }
    static_cast<void>(qd::FormatText(text, size, "; boot journal in %s: running %s, state %s",
                                     boot.szConfig, shown, StateName(StateOf(record))));
}

// A counter file lost with its partition stops every upload in recovery:
// said at once, not only at the first refusal.
void ReportMissingCounter(const SealConfig& seal) noexcept {
    std::uint64_t counter = 0;
    if (seal.szCounterFile[0] != '\0' &&
        ReadExistingSealCounter(seal.szCounterFile, &counter) == CounterRead::kMissing) {
        QD_LOG_ERR("counter file %s %s: every upload is refused\n", seal.szCounterFile,
                   CounterReadProblem(CounterRead::kMissing));
    }
}

}  // namespace

void EnsureStandardDescriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            // Lower descriptors are all open by now, so this cannot happen;
            // never leave a stray descriptor behind if it does.
            static_cast<void>(::close(opened));
        }
    }
}

const char* QdbootConfigPath(int argc, char* argv[]) noexcept {
    return ParseStartOptions(argc, argv).configPath;
}

StartOptions ParseStartOptions(int argc, char* argv[]) noexcept {
    StartOptions options = {nullptr, false};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--recovery") == 0) {
            options.recovery = true;
        } else if (options.configPath == nullptr) {
            options.configPath = argv[i];
        }
    }
    if (options.configPath == nullptr) {
        options.configPath = kDefaultConfigPath;
    }
    return options;
}

void PrintStartupLine(const SealConfig& seal, const BootenvConfig& boot,
                      std::uint16_t port) noexcept {
    ReportSealProblems(seal);
    char policy[kPolicySize];
    DescribeSealPolicy(seal, policy, sizeof policy);
    char journal[kJournalSize] = "; no boot journal (no [bootenv])";
    if (boot.bPresent) {
        DescribeJournal(boot, journal, sizeof journal);
    }
    if (boot.bRecovery) {
        ReportMissingCounter(seal);
    }
    QD_LOG_TRACE("qdboot starting%s: %s%s; uploads on port %u\n",
                 boot.bRecovery ? " in recovery" : "", policy, journal,
                 static_cast<unsigned>(port));
}

// A stop signal cuts the sleep short. One that lands between the check and
// the sleep is seen at most one pause later.
bool WaitForEthAddress() noexcept {
    char netmask[16];
    while (!StopRequested() && GetEthIPAddr(netmask) != 0) {
        static_cast<void>(::sleep(kAddressPollSeconds));
    }
    return !StopRequested();
}

void ApplyMacAddress(const char* szMacAddr) noexcept {
    if (szMacAddr[0] == '\0') {
        return;
    }
    char command[kMacCommandSize];
    if (qd::FormatText(command, sizeof command, "ifconfig eth0 hw ether %s", szMacAddr)) {
        // A camera whose MAC could not be set still serves; ifconfig prints why.
        static_cast<void>(qd::RunCommand(command));
    }
}
