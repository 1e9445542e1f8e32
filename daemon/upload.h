// Receiving one upload package on an accepted connection and installing it.
// The header, the package and the acknowledgement are described with their
// constants in qd_wire.h.
#ifndef UPLOAD_H
#define UPLOAD_H

#include "qd_owners.h"
#include "qdboot_config.h"

// Runs one upload on the non-blocking connection `fd` (neither closed nor
// written here) with the settings in `cfg` and `seal`: header, package into
// "<tmpdir>/qboot.upg" (hashed on the way), the seal check, then
// verification and installation of every item through
// qdboot_updatecallback, the seal's counter stored before the first item
// is written. The file is removed on every path. 0 on success; -1 when
// the seal settings refuse every upload (nothing is read then), when the
// upload itself failed (header, file, receiving, writing, package head) or
// the counter file stood in the way; a seal refusal's QDUPKERR_* code;
// otherwise the non-zero result of libqdupk_updatecheck. Without `seal` no
// key is configured: unsealed packages pass, and a seal that is present
// must still be well-formed and match.
//
// With `storage`, the removed file's storage is handed over open: its name
// is gone, but its pages are freed only when the caller closes it, which a
// large package makes worth doing after the acknowledgement.
int client_update(int fd, const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                  qd::UniqueFd* storage) noexcept;
inline int client_update(int fd, const QDBOOT_CFG_T& cfg,
                         const SealConfig& seal = SealConfig{}) noexcept {
    return client_update(fd, cfg, seal, nullptr);
}

#endif  // UPLOAD_H
