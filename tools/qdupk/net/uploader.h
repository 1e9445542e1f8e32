// The upload of one package to a camera: connect, send the header and the
// package, wait for the acknowledgement. The package is checked beforehand
// by the caller; here it is only streamed.
#ifndef QDUPK_TOOL_UPLOADER_H
#define QDUPK_TOOL_UPLOADER_H

#include <cstdint>
#include <string>

#include "cli_values.h"
#include "progress.h"

namespace qdupk {

struct UploadRequest {
    HostPort target;
    std::string packagePath;
    std::uint64_t size = 0;  // as checked; the file must still have it
    Millis connectTimeout{10000};
    // Longest wait without progress while sending, and for the
    // acknowledgement after the last byte: installing can take minutes.
    Millis timeout{600000};
};

enum class UploadOutcome {
    kAccepted,          // acknowledged: installed, the camera reboots
    kNotAccepted,       // closed without the acknowledgement, or another answer
    kConnectionFailed,  // could not connect, or the network failed
    kTimedOut,          // no progress or no acknowledgement in time
    kLocalError,        // the package file could not be read as checked
};

struct UploadReport {
    UploadOutcome outcome = UploadOutcome::kLocalError;
    std::string message;  // what happened, for the result line
};

UploadReport UploadPackage(const UploadRequest& request, TransferProgress& progress);

}  // namespace qdupk

#endif  // QDUPK_TOOL_UPLOADER_H
