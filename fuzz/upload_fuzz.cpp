// The upload handler fed an arbitrary byte stream through a socket pair:
// header, package, verification and installation with the daemon's own
// installers, in a scratch temporary directory.
//
// Nothing real runs: the fence (sandbox.h) hands every command the
// installers build to CheckCommand below, which checks its form and runs
// nothing; item files outside the scratch directory are refused; pauses
// cost no time. The serial line of MCU items is a path that can never
// open. Checked afterwards: the received package and every temporary item
// file are gone.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "qd_text.h"
#include "qdboot_config.h"
#include "sandbox.h"
#include "scratch.h"
#include "upload.h"

namespace {

constexpr char kMtd[] = "/dev/mtdfuzz";
constexpr char kMainApp[] = "fuzzapp";

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;
QDBOOT_CFG_T g_cfg{};

// A script item is run as its own path: the shell text is fixed and the
// path, absolute or taken from the working directory, is "$0" and names an
// existing file, so no text of the package reaches the shell as syntax.
bool IsScriptCommand(const std::string& command, const qdfuzz::Words& words) {
    if (words.size() != 1 || words[0].empty()) {
        return false;
    }
    const bool absolute = words[0][0] == '/';
    struct stat st {};
    return command == (absolute ? "\"$0\"" : "./\"$0\"") &&
           lstat((absolute ? words[0] : "./" + words[0]).c_str(), &st) == 0;
}

// The flash tools get the configured program as shell text, the partition
// and the item's file only as words.
int CheckCommand(const std::string& command, const qdfuzz::Words& words) {
    const qdfuzz::Words erase = {"sh", kMtd};
    const qdfuzz::Words copy = {"sh", g_scratch->file("updatetmp.bin"), kMtd};
    if ((command == std::string("killall ") + kMainApp && words.empty()) ||
        (command == "flash_eraseall \"$1\"" && words == erase) ||
        (command == "flashcp -v \"$1\" \"$2\"" && words == copy) ||
        IsScriptCommand(command, words)) {
        return 0;
    }
    std::string shown = command;
    for (const std::string& word : words) {
        shown += " [" + word + "]";
    }
    qdfuzz::Fail("unexpected command", shown);
}

// A setting cut to fit would make the run test some other configuration.
template <std::size_t N>
void SetText(char (&dst)[N], const char* text) {
    if (!qd::CopyText(dst, text)) {
        qdfuzz::Fail("setting too long", text);
    }
}

void SetPartition(MTDCFG_T* mtd) {
    mtd->bValid = 1;
    mtd->bAllMtd = 1;
    SetText(mtd->szMtdName, kMtd);
}

void Configure(const std::string& tmpDir) {
    g_cfg.nPort = 8080;
    SetText(g_cfg.szTmpDir, tmpDir.c_str());
    SetText(g_cfg.szEraseCmd, "flash_eraseall");
    SetText(g_cfg.szCopyCmd, "flashcp");
    SetText(g_cfg.szUartArm, "/dev/null/tty");
    SetText(g_cfg.szMainApp, kMainApp);
    g_cfg.emUartBaud = QD_COMM_BITRATE_115200;
    SetPartition(&g_cfg.stKernel);
    SetPartition(&g_cfg.stRootfs);
    SetPartition(&g_cfg.stUboot);
}

// The whole input waits in the socket, followed by the end of the stream.
int ConnectionWith(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        qdfuzz::Fail("socketpair", std::strerror(errno));
    }
    const int room = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    if (size > 0 && write(pair[1], data, size) != static_cast<ssize_t>(size)) {
        qdfuzz::Fail("input does not fit the socket", std::to_string(size));
    }
    close(pair[1]);
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    return pair[0];
}

void CheckNothingLeft() {
    for (const char* name : {"qboot.upg", "updatetmp.bin", "updatetmp.sh"}) {
        struct stat st {};
        if (lstat(g_scratch->file(name).c_str(), &st) == 0) {
            qdfuzz::Fail("file left in the temporary directory", name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    g_scratch = new qdfuzz::Scratch("upload");
    g_policy.scratchDir = g_scratch->dir();
    g_policy.abortOnEscape = false;  // destinations outside are refused
    g_policy.onCommand = CheckCommand;
    Configure(g_scratch->dir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ConnectionWith(data, size);
    {
        const qdfuzz::InDirectory inScratch(g_scratch->dir());
        const qdfuzz::Confinement fence(g_policy);
        static_cast<void>(client_update(fd, g_cfg));
    }
    close(fd);
    CheckNothingLeft();
    g_scratch->Wipe();
    return 0;
}
