// Receiving one upload package on an accepted connection and installing it.
// The header, the package and the acknowledgement are described with their
// constants in qd_wire.h.
#ifndef UPLOAD_H
#define UPLOAD_H

#include <cstdint>

#include "qd_owners.h"
#include "qd_status.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

// The stage at which an upload stopped.
enum class UploadStage : std::uint8_t {
    kNone,     // installed
    kReceive,  // header, file, receiving or writing it
    kSeal,     // the seal settings or counter file, the seal check, storing the counter
    kVerify,   // the package's records, device or item digests
    kRoom,     // the temporary directory, the items' directories or room
    kInstall   // writing an item or installing it
};

// What an upload came to: the stage that failed and its code, which is the
// package library's QDUPKERR_* code or the install callback's result, or
// -1 where the daemon refused on its own (the seal settings, the upload
// itself, a package without a readable head, the counter file). For the
// status query: why, as a reason code and a short text ("installed", or
// e.g. "no room for item 2", items numbered from 1), and the package's
// identity once it was received whole (else empty).
struct UploadResult {
    UploadStage stage = UploadStage::kNone;
    int code = 0;
    qd::StatusReason reason = qd::kStatusNoUpload;
    char text[qd::kStatusLastTextSize + 1] = {};
    char identity[qd::kStatusIdentitySize + 1] = {};
};

// Runs one upload on the non-blocking connection `fd` (neither closed nor
// written here) with the settings in `cfg` and `seal`: header, package
// received into "<tmpdir>/qboot.upg" (hashed on the way) and kept open,
// then, all from that one descriptor, verification, the seal check, the
// room check, the seal's counter stored, and the installation of every
// item through qdboot_updatecallback. The file is removed on every path.
// Without `seal` no key is configured: unsealed packages pass, and a seal
// that is present must still be well-formed and match.
//
// With `storage`, the removed file's storage is handed over open: its name
// is gone, but its pages are freed only when the caller closes it, which a
// large package makes worth doing after the acknowledgement.
UploadResult RunUpload(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                       qd::UniqueFd* storage) noexcept;

// As above, keeping the boot journal that `boot` configures: a package
// with a kernel or root file system image is written to the slot that is
// not running, recorded as *writing* before its first item and as *trial*
// after its last; its seal counter waits for the proof of boot. Without
// [bootenv] (boot.bPresent false) the same as above.
UploadResult RunUpload(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                       const BootenvConfig& boot, qd::UniqueFd* storage) noexcept;

// RunUpload's code: 0 on success.
inline int client_update(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                         qd::UniqueFd* storage) noexcept {
    return RunUpload(fd, cfg, seal, storage).code;
}
inline int client_update(int fd, const QDBOOT_CFG_T& cfg,
                         const SealConfig& seal = SealConfig{}) noexcept {
    return client_update(fd, cfg, seal, nullptr);
}

#endif  // UPLOAD_H
