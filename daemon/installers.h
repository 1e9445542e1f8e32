// The daemon's install callback: what installing a verified package item
// means for each item type.
#ifndef INSTALLERS_H
#define INSTALLERS_H

#include "libqdupdate.h"

// Install callback handed to libqdupk_update. Uses only the file's path and
// the item type: flash images (types 1 to 3) go to UpdateMtd, a script
// (type 10) is run, MCU firmware (type 20) is sent over the MCU's serial
// line and its file removed; other types need nothing here. Non-zero only
// when a flash image could not be written (see UpdateMtd), which stops the
// package there and fails the upload; a failing script or MCU transfer
// does not.
int qdboot_updatecallback(const char* szFileName, const char* szDstFileName, QDUPK_ITEM_TYPE emType,
                          const char* szDevID, const char* szDesc, int bRebootFlag) noexcept;

// Rewrites the partition of `type` (2 rootfs, 3 uboot, anything else the
// kernel) with the image in `path`, running the configured erase and copy
// programs. An unconfigured partition is left alone (file kept); with
// bAllMtd 0 or no partition name the file is removed and nothing runs.
// The erase runs, then the copy, whatever the erase gave. 0, or -1 (after
// an error line naming the command and how it ended) when either could not
// be run or did not exit with 0; the file is removed either way.
int UpdateMtd(int type, const char* path) noexcept;

#endif  // INSTALLERS_H
