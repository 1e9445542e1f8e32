// An upload's result as the status query reports it: a reason code and a
// short text for each refusal, worded from what the update path found.
// Items are numbered from 1, as manifests number them.
#ifndef UPLOAD_REASON_H
#define UPLOAD_REASON_H

#include <cstdint>

#include "pkg_install.h"
#include "upload.h"

// `result` with its reason and text (cut to the text's room).
UploadResult WithReason(UploadResult result, qd::StatusReason reason, const char* text) noexcept;

// `result` with the reason for the update's outcome: the verification's,
// seal check's or room check's fault, or the item that failed to install.
// `stored` is the counter a rollback was refused against. A gate refusal
// is worded by the gate itself and left as it is.
UploadResult WithOutcomeReason(UploadResult result, const qdpkg::UpdateOutcome& outcome,
                               std::uint64_t stored) noexcept;

#endif  // UPLOAD_REASON_H
