#include "upload_output.h"

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "json_line.h"
#include "rollout_targets.h"

namespace qdupk {

namespace {

// Often enough for the bar's own redraw pace.
constexpr Millis kTick{100};

struct Verdict {
    TargetResult result;
    int status;
    const char* text;
};

constexpr Verdict kVerdicts[] = {
    {TargetResult::kOk, kExitOk, "ACCEPTED"},
    {TargetResult::kRefused, kExitNotAccepted, "NOT ACCEPTED"},
    {TargetResult::kNoConnection, kExitConnection, "NO CONNECTION"},
    {TargetResult::kTimeout, kExitTimeout, "TIMED OUT"},
};

const Verdict* VerdictOf(TargetResult result) {
    for (const Verdict& verdict : kVerdicts) {
        if (verdict.result == result) {
            return &verdict;
        }
    }
    return nullptr;
}

// A connection reason names the camera inside its first words.
std::string NamedConnectionReason(const std::string& reason, const std::string& camera) {
    struct Opening {
        const char* words;
        std::string named;
    };
    const Opening openings[] = {{"cannot connect", "cannot connect to " + camera},
                                {"the connection failed", "connection to " + camera + " failed"}};
    for (const Opening& opening : openings) {
        if (reason.compare(0, std::strlen(opening.words), opening.words) == 0) {
            return opening.named + reason.substr(std::strlen(opening.words));
        }
    }
    return reason;
}

std::string ReasonWithCamera(const TargetRecord& record) {
    const std::string camera = TargetName(record.target);
    if (record.result == TargetResult::kOk) {
        return camera + " " + record.reason + ": it is installed and the camera reboots";
    }
    if (record.result == TargetResult::kRefused) {
        // The camera's own reason, as a rollout words it, names the camera.
        static const std::string kTheCamera = "the camera ";
        const bool named = record.reason.compare(0, kTheCamera.size(), kTheCamera) == 0;
        return camera + " " + (named ? record.reason.substr(kTheCamera.size()) : record.reason);
    }
    if (record.result == TargetResult::kTimeout) {
        return camera + ": " + record.reason;
    }
    return record.result == TargetResult::kNoConnection
               ? NamedConnectionReason(record.reason, camera)
               : record.reason;
}

}  // namespace

int UploadExitStatus(TargetResult result) {
    const Verdict* verdict = VerdictOf(result);
    return verdict != nullptr ? verdict->status : kExitFailed;
}

std::string UploadVerdict(const TargetRecord& record) {
    const Verdict* verdict = VerdictOf(record.result);
    return std::string(verdict != nullptr ? verdict->text : "error") + ": " +
           ReasonWithCamera(record);
}

void UploadJsonOutput::Finished(const TargetRecord& record) {
    (void)std::fprintf(out_, "%s\n",
                       JsonLine({{"target", TargetName(record.target)},
                                 {"result", ResultName(record.result)},
                                 {"reason", record.reason},
                                 {"bytes", record.bytes},
                                 {"seconds", std::round(record.seconds * 10.0) / 10.0}})
                           .c_str());
    (void)std::fflush(out_);
}

UploadOutput::UploadOutput(std::FILE* out, bool terminal, std::uint64_t size, Millis timeout)
    : out_(out), terminal_(terminal), size_(size), timeout_(timeout) {}

void UploadOutput::Started(const TargetRecord& /*record*/) {
    progress_.emplace(out_, terminal_, size_);
    sending_ = false;
    allSent_ = false;
}

void UploadOutput::RetryLater(const TargetRecord& record, Millis pause) {
    EndProgress(record.bytes);
    (void)std::fprintf(out_, "attempt %d: %s; trying again in %s\n", record.attempts,
                       ReasonWithCamera(record).c_str(), FormatSeconds(pause).c_str());
    (void)std::fflush(out_);
}

void UploadOutput::Acknowledged(const TargetRecord& /*record*/) {}

void UploadOutput::Finished(const TargetRecord& record) {
    EndProgress(record.bytes);
    // One result line: on stdout for success, on stderr otherwise.
    std::FILE* out = record.result == TargetResult::kOk ? out_ : stderr;
    (void)std::fprintf(out, "qdupk upload: %s\n", UploadVerdict(record).c_str());
}

void UploadOutput::Stopped(const StopReasons& /*now*/, const char* /*reason*/) {}

Millis UploadOutput::TickInterval() const {
    return kTick;
}

void UploadOutput::AllSent() {
    if (!allSent_) {
        progress_->Sent(size_);
        progress_->SendDone();
        allSent_ = true;
        allSentAt_ = TransferProgress::Clock::now();
    }
}

// The attempt's last word on the transfer, then the line closed.
void UploadOutput::EndProgress(std::uint64_t sent) {
    if (!progress_) {
        return;
    }
    if (sent == size_) {
        AllSent();
    } else if (sending_ || sent > 0) {
        progress_->Sent(sent);
    }
    progress_->Close();
}

void UploadOutput::Tick(const std::vector<InFlight>& flights,
                        const std::vector<TargetRecord>& /*records*/) {
    if (flights.empty() || !progress_) {
        return;
    }
    const InFlight& flight = flights.front();
    if (flight.state == "sending") {
        sending_ = true;
        progress_->Sent(flight.bytes);
    } else if (flight.state == "installing") {
        AllSent();
        using std::chrono::seconds;
        const auto waited = TransferProgress::Clock::now() - allSentAt_;
        progress_->Waiting(std::chrono::duration_cast<seconds>(waited),
                           std::chrono::duration_cast<seconds>(timeout_));
    }
}

}  // namespace qdupk
