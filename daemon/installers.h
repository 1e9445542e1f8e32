// The daemon's install callback: what installing a verified package item
// means for each item type.
#ifndef INSTALLERS_H
#define INSTALLERS_H

#include "libqdupdate.h"

// Install callback handed to libqdupk_update. Uses only the file's path and
// the item type: flash images (types 1 to 3) go to UpdateMtd, a script
// (type 10) is run, MCU firmware (type 20) is sent over the MCU's serial
// line and its file removed; other types need nothing here. Always 0: a
// failing flash tool, script or MCU transfer never stops the upload.
int qdboot_updatecallback(const char* szFileName, const char* szDstFileName, QDUPK_ITEM_TYPE emType,
                          const char* szDevID, const char* szDesc, int bRebootFlag) noexcept;

// Rewrites the partition of `type` (2 rootfs, 3 uboot, anything else the
// kernel) with the image in `path`, running the configured erase and copy
// programs. An unconfigured partition is left alone (file kept); with
// bAllMtd 0 or no partition name the file is removed and nothing runs.
// Always 0.
int UpdateMtd(int type, const char* path) noexcept;

#endif  // INSTALLERS_H
