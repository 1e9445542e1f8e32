// Proof of boot: at start-up the daemon acts on the journal it finds. A
// trial of the running slot is proved by the health command, run while the
// daemon serves, and recorded as good (the upgrade and its counter are
// then committed) or bad (and the camera reboots, so the boot loader falls
// back); a trial the boot loader gave up on is recorded as rolled back; an
// upgrade cut short before its trial as failed. The recovery system proves
// nothing: an upgrade it finds written or on trial is failed.
#ifndef BOOT_PROOF_H
#define BOOT_PROOF_H

#include <sys/types.h>

#include "boot_journal.h"
#include "qdboot_config.h"
#include "qdboot_config_bootenv.h"

class BootProof {
  public:
    BootProof(const BootenvConfig& boot, const SealConfig& seal) noexcept;
    ~BootProof();
    BootProof(const BootProof&) = delete;
    BootProof& operator=(const BootProof&) = delete;

    // Reads the journal and acts on it, with the upload port listening:
    // stores what needs no proof, starts the health command for a trial.
    // Without [bootenv], or with a problem in it, does nothing.
    void Start() noexcept;

    // One turn of the service loop: once the health command has ended (or
    // its time is up), stores good, or bad and reboots. Never waits.
    void Tend() noexcept;

    // Whether a trial is still being proved.
    bool Proving() const noexcept { return proving_; }

  private:
    void Judge(bool healthy, const char* how) noexcept;
    void Commit() noexcept;
    bool Store(const JournalRecord& record) noexcept;

    const BootenvConfig& boot_;
    const SealConfig& seal_;
    JournalRecord record_{};
    pid_t health_ = -1;
    long long deadlineMs_ = 0;
    bool proving_ = false;
};

#endif  // BOOT_PROOF_H
