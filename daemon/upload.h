// Receiving one upload package on an accepted connection and installing it.
// The header, the package and the acknowledgement are described with their
// constants in qd_wire.h.
#ifndef UPLOAD_H
#define UPLOAD_H

#include "qdboot_config.h"

// Runs one upload on the non-blocking connection `fd` (neither closed nor
// written here) with the settings in `cfg`: header, package into
// "<tmpdir>/qboot.upg", verification and installation of every item through
// qdboot_updatecallback. The file is removed on every path. 0 on success;
// -1 when the upload itself failed (header, file, receiving, writing,
// package head); otherwise the non-zero result of libqdupk_update.
int client_update(int fd, const QDBOOT_CFG_T& cfg) noexcept;

#endif  // UPLOAD_H
