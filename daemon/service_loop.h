// The service loop: uploads on the listening TCP socket, searches and
// status queries on the multicast socket, one at a time on the daemon's
// only thread.
#ifndef SERVICE_LOOP_H
#define SERVICE_LOOP_H

#include "camera_status.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

// Adds O_NONBLOCK to the descriptor's status flags; results not examined.
void socket_nonblock(int fd) noexcept;

// Serves with the settings in `cfg`, uploads also with `seal`, until a
// stop signal clears the run flag (stop_signals.h). Without a multicast socket it tries to open one
// again every few seconds. The process exit status: 0 after a shut-down; 1
// when the listening socket cannot be set up on the configured port
// (reported on the way).
int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal) noexcept;

// As above, keeping the boot journal that `boot` configures: once the
// upload port listens, start-up's journal decisions are taken, and a trial
// is proved by the health command while the loop serves.
int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal,
                   const BootenvConfig& boot) noexcept;

// As above, answering status queries from `status`, which the loop keeps
// up to date: each upload's result, and the journal and counter read again
// at start-up, after each upload and after a proof of boot.
int RunServiceLoop(const QDBOOT_CFG_T& cfg, const SealConfig& seal, const BootenvConfig& boot,
                   CameraStatus* status) noexcept;

#endif  // SERVICE_LOOP_H
