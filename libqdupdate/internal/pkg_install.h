// The update on an open descriptor, for the device's own daemon: the
// package it received is verified, its seal judged, its room checked and
// its items installed from that one descriptor, so what was checked is what
// is installed, whatever happens to the file's name meanwhile. Beside
// libqdupk_update, which keeps its contract by path for other callers.
#ifndef QDUPK_PKG_INSTALL_H
#define QDUPK_PKG_INSTALL_H

#include <cstdint>

#include "libqdupdate.h"
#include "pkg_reader.h"

namespace qdpkg {

// The stage an update stopped at.
enum class UpdateStage : std::uint8_t {
    kNone,    // it passed
    kVerify,  // the walk: records, device, item digests
    kSeal,    // the seal check
    kRoom,    // the temporary directory, the items' directories and room
    kGate,    // InstallGate::BeforeInstall refused
    kInstall  // writing an item or its install callback
};

// Told once, after verification, the seal check and the room check have
// all passed and before anything of the package is written: the one point
// where what the install commits to (the anti-rollback counter, the boot
// journal) is recorded, knowing the seal and the items. A refusal before
// it changes nothing. Called inside the library: it must not throw.
class InstallGate {
  public:
    // 0 lets the install go on; anything else refuses the package, with
    // nothing installed, and is the update's result.
    virtual int BeforeInstall(const QDUPK_SEALINFO_T& seal, const PackageIndex& index) noexcept = 0;

  protected:
    InstallGate() = default;
    InstallGate(const InstallGate&) = default;
    InstallGate& operator=(const InstallGate&) = default;
    ~InstallGate() = default;
};

struct DescriptorUpdate {
    const char* szDevID = nullptr;  // null: the package's own, so any device
    const char* szTempDir = nullptr;
    SealCheck seal;
    QDUPK_UPDATECB fdCallback = nullptr;
    InstallGate* gate = nullptr;
};

struct UpdateOutcome {
    int code = 0;  // 0, a QDUPKERR_* code, the gate's or the callback's result
    UpdateStage stage = UpdateStage::kNone;
    FaultPart part = FaultPart::kNone;  // where a verification stopped
    QDUPK_SEALINFO_T seal{QDUPK_SEAL_NONE, 0, {}, -1};
    // Why, for a caller that words the reason itself: the walk's, the seal
    // check's or the room check's fault record; at kInstall only `item`
    // (the failed item's position) is set.
    Fault fault;
    char device[QDUPK_TEXT_SIZE] = {};  // the package head's device id, once read
};

// libqdupk_updatecheck's work, with the seal check and the gate, on the
// package open for reading at `fd` (read through a duplicate that shares
// its file offset; not closed). The error lines are the path's own.
UpdateOutcome UpdateFromDescriptor(int fd, const DescriptorUpdate& request) noexcept;

}  // namespace qdpkg

#endif  // QDUPK_PKG_INSTALL_H
