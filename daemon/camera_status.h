// The daemon's status record: what a status query is answered from. Kept
// in memory, refreshed only when something it shows may have changed (the
// journal after the daemon's own stores, the counter after an upload or a
// proof of boot), never per query, so a query costs no flash access.
#ifndef CAMERA_STATUS_H
#define CAMERA_STATUS_H

#include <cstdint>

#include "boot_journal.h"
#include "qd_status.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"
#include "qdboot_config_status.h"
#include "upload.h"

// How far the boot journal could be read.
enum class JournalView : std::uint8_t {
    kNone,        // no [bootenv], or one with a problem: no journal is kept
    kUnreadable,  // [bootenv] is set up but the environment cannot be read
    kRead,
};

struct CameraStatus {
    long long startMs;  // monotonic milliseconds at start-up
    char version[qd::kStatusVersionSize + 1];
    char device[qd::kStatusDeviceSize + 1];
    bool full;      // [status] detail=full
    bool recovery;  // running as the recovery system (--recovery)
    JournalView view;
    JournalRecord journal;  // as last read, when view is kRead
    char slot;              // 'a', 'b', or 0 unknown (also without [bootenv])
    bool counterKnown;
    std::uint64_t counter;
    // The last upload since start: reason, short text and package identity.
    qd::StatusReason lastResult;
    char lastText[qd::kStatusLastTextSize + 1];
    char lastIdentity[qd::kStatusIdentitySize + 1];
};

// A fresh record: no upload yet, the journal and counter not read.
CameraStatus StartCameraStatus(const char* version, const QDBOOT_CFG_T& cfg,
                               const StatusConfig& config, long long nowMs) noexcept;

// Reads the journal and the running slot again; notes whether this is the
// recovery system.
void RefreshJournal(CameraStatus* status, const BootenvConfig& boot) noexcept;

// Reads the seal counter file again: known only when one is configured
// and it can be read.
void RefreshCounter(CameraStatus* status, const SealConfig& seal) noexcept;

// Keeps an upload's result as the last one; a connection that carried no
// upload (kStatusNoUpload) leaves the last one as it was.
void RecordUpload(CameraStatus* status, const UploadResult& result) noexcept;

// The journal's state as the status query names it: "no journal",
// "unreadable", "none" before the first upgrade, else the qd_state value.
const char* JournalStateText(const CameraStatus& status) noexcept;

// What a query is answered with at `nowMs`. A basic record leaves the
// fields of a full answer empty.
qd::StatusReport BuildStatusReport(const CameraStatus& status, long long nowMs) noexcept;

#endif  // CAMERA_STATUS_H
