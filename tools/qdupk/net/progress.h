// What `qdupk upload` shows while it works: on a terminal a progress bar
// that redraws itself (bytes, rate, time left) and then how long the camera
// has been installing; otherwise plain lines that read well in a log.
#ifndef QDUPK_TOOL_PROGRESS_H
#define QDUPK_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qdupk {

// "812 B", "4.0 KiB", "1.5 MiB", "2.0 GiB"
std::string FormatBytes(std::uint64_t bytes);
// "0:07", "12:34", "1:02:03"
std::string FormatDuration(std::chrono::seconds duration);
// One bar line without the carriage return, e.g.
// "[#########...........]  45%  1.2 MiB / 2.6 MiB  850.0 KiB/s  ETA 0:02"
std::string ProgressLine(std::uint64_t sent, std::uint64_t total, double elapsedSeconds);

class TransferProgress {
  public:
    using Clock = std::chrono::steady_clock;

    TransferProgress(std::FILE* out, bool terminal, std::uint64_t total);

    void Sent(std::uint64_t sent);  // bytes of the package sent so far
    void SendDone();
    // Called about once a second while waiting for the acknowledgement.
    void Waiting(std::chrono::seconds waited, std::chrono::seconds limit);
    // Ends a redrawn line, so the result starts on a line of its own.
    void Close();

  private:
    void Draw(const std::string& line);
    void PlainLine(std::uint64_t sent);

    std::FILE* out_;
    bool terminal_;
    std::uint64_t total_;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
    int lastTenth_ = -1;
    bool lineOpen_ = false;
    bool waitAnnounced_ = false;
    std::chrono::seconds lastWaitNote_{0};
};

}  // namespace qdupk

#endif  // QDUPK_TOOL_PROGRESS_H
