// The package library on arbitrary file bytes: the head query, then the
// whole update with a check callback and an install callback that check
// what the library hands them.
//
// Item destinations come from the input. The check callback declines every
// item whose file would lie outside the scratch directory, so the library
// never gets to write there; should it write anywhere it did not announce,
// the fence (sandbox.h) ends the run as a finding.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "libqdupdate.h"
#include "sandbox.h"
#include "scratch.h"

namespace {

constexpr std::size_t kTextSize = 128;
constexpr char kPackageName[] = "input.upk";

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;
std::string g_announced;  // path of the last item the check callback let through

void CheckText(const char* what, const char* text) {
    if (text == nullptr || std::memchr(text, '\0', kTextSize) == nullptr) {
        qdfuzz::Fail("text longer than its field", what);
    }
}

int CheckItem(const char* path, const char* dst, QDUPK_ITEM_TYPE /*type*/, const char* devId,
              const char* desc) {
    CheckText("item path", path);
    CheckText("destination", dst);
    CheckText("item device id", devId);
    CheckText("description", desc);
    if (!qdfuzz::LiesIn(g_scratch->dir(), path)) {
        return 1;
    }
    g_announced = path;
    return 0;
}

// Where an item must be: flash images and items without a destination in
// the temporary directory, everything else at its destination.
std::string ExpectedPath(const char* dst, QDUPK_ITEM_TYPE type) {
    if (type > QDUPK_ITEM_UBOOT && dst[0] != '\0') {
        return dst;
    }
    return g_scratch->file(type == QDUPK_ITEM_BASH ? "updatetmp.sh" : "updatetmp.bin");
}

int InstallItem(const char* path, const char* dst, QDUPK_ITEM_TYPE type, const char* /*devId*/,
                const char* /*desc*/, int /*reboot*/) {
    if (g_announced != path) {
        qdfuzz::Fail("installed an item the check callback did not see", path);
    }
    if (ExpectedPath(dst, type) != path) {
        qdfuzz::Fail("item file in the wrong place", path);
    }
    struct stat st {};
    // An item may replace the package file or an earlier item: a stricter
    // mode is kept then, but nothing beyond 0755 ever.
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777 & ~0755U) != 0) {
        qdfuzz::Fail("item file missing or open to others", path);
    }
    g_announced.clear();
    return 0;
}

// Returns the head's device identifier, or a foreign one when the head is
// refused (the update must then refuse it the same way).
int QueryHead(const std::string& package, std::string* devId) {
    char name[kTextSize];
    char version[kTextSize];
    char dev[kTextSize];
    std::memset(dev, 0x5A, sizeof dev);
    const int rc = libqdupk_pkgversion(package.c_str(), name, version, dev);
    if (rc == 0) {
        CheckText("package name", name);
        CheckText("package version", version);
        CheckText("package device id", dev);
        *devId = dev;
    } else if (dev[0] != 0x5A) {
        qdfuzz::Fail("failed head query changed the caller's buffer", "");
    }
    return rc;
}

void CheckNoTemporaryLeft() {
    for (const char* name : {"updatetmp.bin", "updatetmp.sh"}) {
        struct stat st {};
        if (lstat(g_scratch->file(name).c_str(), &st) == 0) {
            qdfuzz::Fail("temporary item file left behind", name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    g_scratch = new qdfuzz::Scratch("package");
    g_policy.scratchDir = g_scratch->dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string package = g_scratch->file(kPackageName);
    qdfuzz::WriteWholeFile(package, data, size);
    int headRc = 0;
    int updateRc = 0;
    {
        const qdfuzz::InDirectory inScratch(g_scratch->dir());
        const qdfuzz::Confinement fence(g_policy);
        std::string devId = "FUZZ-DEVICE";
        headRc = QueryHead(package, &devId);
        updateRc = libqdupk_updatecheck(package.c_str(), devId.c_str(), g_scratch->dir().c_str(),
                                        InstallItem, CheckItem);
    }
    CheckNoTemporaryLeft();
    // Both calls read the same head: a refused head fails the update alike,
    // and the package's own device identifier always passes.
    if (headRc != 0 ? updateRc != headRc
                    : (updateRc == QDUPKERR_DEVID || updateRc == QDUPKERR_OPENFILE)) {
        qdfuzz::Fail("head query and update disagree",
                     std::to_string(headRc) + " / " + std::to_string(updateRc));
    }
    g_scratch->Wipe();
    return 0;
}
