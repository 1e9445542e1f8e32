// The daemon's install callback: what installing a verified package item
// means for each item type.
#ifndef INSTALLERS_H
#define INSTALLERS_H

#include "libqdupdate.h"
#include "qdboot_config.h"

// The install callback's type is fixed by the package library's C interface
// and carries no context, so the settings it installs with are lent to it
// for the span of one libqdupk_update call: while a scope lives, the
// callback installs with its `cfg` (which must outlive it); scopes nest.
// Outside every scope the callback installs nothing and fails, rather than
// flash with settings nobody chose.
class InstallConfigScope {
  public:
    explicit InstallConfigScope(const QDBOOT_CFG_T& cfg) noexcept;
    ~InstallConfigScope();
    InstallConfigScope(const InstallConfigScope&) = delete;
    InstallConfigScope& operator=(const InstallConfigScope&) = delete;

    // Partitions this scope's installs have begun to rewrite (their erase
    // has run), failed ones included.
    static int PartitionsTouched() noexcept;

  private:
    const QDBOOT_CFG_T* previous_;
    int previousTouched_;
};

// Install callback handed to libqdupk_update, inside an InstallConfigScope.
// Uses only the file's path, its destination name and the item type: flash images (types 1 to 3)
// go to UpdateMtd, a script (type 10) is run, MCU firmware (type 20) is sent over the MCU's serial
// line; other types need nothing here. Temporary item files are the package library's, which
// removes each once this returns; the only file removed here is MCU firmware the package wrote to
// its destination. Non-zero only when a flash image could not be written (see UpdateMtd) or no
// scope is open, which stops the package there and fails the upload; a failing script or MCU
// transfer does not.
int qdboot_updatecallback(const char* szFileName, const char* szDstFileName, QDUPK_ITEM_TYPE emType,
                          const char* szDevID, const char* szDesc, int bRebootFlag) noexcept;

// Rewrites the partition of `type` (2 rootfs, 3 uboot, anything else the
// kernel) with the image in `path`, running the erase and copy programs
// that `cfg` names. An unconfigured partition is left alone; with bAllMtd 0
// or no partition name nothing runs. The erase runs, then the copy, whatever
// the erase gave. 0, or -1 (after an error line naming the command and how
// it ended) when either could not be run or did not exit with 0. The image
// is never removed here: it is always the package library's temporary file.
int UpdateMtd(int type, const char* path, const QDBOOT_CFG_T& cfg) noexcept;

#endif  // INSTALLERS_H
