#include "progress.h"

#include <cmath>

namespace qdupk {

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// In a log, a note now and then shows that the tool is still alive.
constexpr std::chrono::seconds kPlainWaitNote{60};

std::string Bar(std::uint64_t sent, std::uint64_t total) {
    const auto filled = total == 0 ? kBarWidth : static_cast<int>(sent * kBarWidth / total);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]";
}

int Percent(std::uint64_t sent, std::uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(sent * 100 / total);
}

double SecondsSince(TransferProgress::Clock::time_point start) {
    return std::chrono::duration<double>(TransferProgress::Clock::now() - start).count();
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatDuration(std::chrono::seconds duration) {
    const long long total = duration.count() < 0 ? 0 : duration.count();
    char text[32];
    if (total >= 3600) {
        (void)std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                            total % 60);
    } else {
        (void)std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

std::string ProgressLine(std::uint64_t sent, std::uint64_t total, double elapsedSeconds) {
    char percent[8];
    (void)std::snprintf(percent, sizeof percent, "%3d%%", Percent(sent, total));
    std::string line =
        Bar(sent, total) + " " + percent + "  " + FormatBytes(sent) + " / " + FormatBytes(total);
    if (elapsedSeconds <= 0.0 || sent == 0) {
        return line;
    }
    const double rate = static_cast<double>(sent) / elapsedSeconds;
    line += "  " + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s";
    const long long left = std::llround(static_cast<double>(total - sent) / rate);
    return line + "  ETA " + FormatDuration(std::chrono::seconds(left));
}

TransferProgress::TransferProgress(std::FILE* out, bool terminal, std::uint64_t total)
    : out_(out), terminal_(terminal), total_(total), start_(Clock::now()) {}

void TransferProgress::Draw(const std::string& line) {
    // Pad over the rest of a longer previous line.
    (void)std::fprintf(out_, "\r%-78s", line.c_str());
    (void)std::fflush(out_);
    lineOpen_ = true;
}

void TransferProgress::Sent(std::uint64_t sent) {
    const Clock::time_point now = Clock::now();
    if (terminal_) {
        if (now - lastDraw_ >= kRedrawInterval || sent == total_) {
            lastDraw_ = now;
            Draw(ProgressLine(sent, total_, SecondsSince(start_)));
        }
        return;
    }
    // The sender reports when it is asked, not at each tenth: a tenth
    // passed between two reports gets its line at its own boundary, so a
    // log always shows every step in order.
    const int tenth = Percent(sent, total_) / 10;
    for (int step = lastTenth_ + 1; step < tenth; ++step) {
        PlainLine(total_ * static_cast<std::uint64_t>(step) / 10 +
                  (total_ * static_cast<std::uint64_t>(step) % 10 != 0 ? 1 : 0));
    }
    if (tenth > lastTenth_) {
        PlainLine(sent);
        lastTenth_ = tenth;
    }
}

void TransferProgress::PlainLine(std::uint64_t sent) {
    (void)std::fprintf(out_, "sent %llu of %llu bytes (%d%%)\n",
                       static_cast<unsigned long long>(sent),
                       static_cast<unsigned long long>(total_), Percent(sent, total_));
    (void)std::fflush(out_);
}

void TransferProgress::SendDone() {
    const double seconds = SecondsSince(start_);
    if (terminal_) {
        Draw(ProgressLine(total_, total_, seconds));
        Close();
    }
    (void)std::fprintf(out_, "sent %s in %.1f s; the camera verifies and installs it now\n",
                       FormatBytes(total_).c_str(), seconds);
    (void)std::fflush(out_);
}

void TransferProgress::Waiting(std::chrono::seconds waited, std::chrono::seconds limit) {
    if (terminal_) {
        Draw("camera installing... " + FormatDuration(waited) + " (gives up after " +
             FormatDuration(limit) + ")");
        return;
    }
    if (!waitAnnounced_ || waited - lastWaitNote_ >= kPlainWaitNote) {
        waitAnnounced_ = true;
        lastWaitNote_ = waited;
        (void)std::fprintf(out_, "waiting for the acknowledgement: %lld s of at most %lld s\n",
                           static_cast<long long>(waited.count()),
                           static_cast<long long>(limit.count()));
        (void)std::fflush(out_);
    }
}

void TransferProgress::Close() {
    if (lineOpen_) {
        (void)std::fputc('\n', out_);
        (void)std::fflush(out_);
        lineOpen_ = false;
    }
}

}  // namespace qdupk
