// The service loop: uploads on the listening TCP socket, searches and
// status queries on the multicast socket, one at a time on the daemon's
// only thread.
#ifndef SERVICE_LOOP_H
#define SERVICE_LOOP_H

#include <csignal>

#include "camera_status.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

// The loop runs while this is non-zero; the stop signals (stop_signals.h)
// clear it, and the loop then leaves the group, closes its sockets and ends
// with 0.
extern volatile sig_atomic_t asvthread_run;
static_assert(sizeof(sig_atomic_t) == 4, "the run flag is a 32-bit word");

// Adds O_NONBLOCK to the descriptor's status flags; results not examined.
void socket_nonblock(int fd) noexcept;

// Serves with the settings in `cfg`, uploads also with `seal`, until the
// run flag is cleared. Without a multicast socket it tries to open one
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
