#include "loader.h"

#include <cstdio>
#include <limits>

#include "qd_mcu_frame.h"

namespace mcusim {

namespace {

using namespace qd::mcu;

constexpr std::uint8_t kStray = 0x55;
constexpr std::size_t kJunk = std::numeric_limits<std::size_t>::max();

std::uint8_t XorOf(const Bytes& bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum ^= bytes[i];
    }
    return sum;
}

std::uint16_t Be16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

std::uint32_t Be32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

std::string HexByte(std::uint8_t value) {
    char text[4];
    (void)std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

// Both frame kinds carry the XOR of the bytes before the checksum; loader
// frames end in the end byte after it, the reset frame has it before it.
bool FrameIsSound(const Bytes& frame) {
    if (frame[0] == kResetStart) {
        return frame[kResetFrameSize - 2] == kFrameEnd &&
               frame[kResetFrameSize - 1] == XorOf(frame, kResetFrameSize - 1);
    }
    const std::size_t n = frame.size();
    return frame[n - 1] == kFrameEnd && frame[n - 2] == XorOf(frame, n - 2);
}

}  // namespace

std::string Hex(const Bytes& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ' ';
        }
        text += HexByte(bytes[i]);
    }
    return text;
}

std::size_t Loader::FrameLength() const {
    if (pending_[0] == kResetStart) {
        return kResetFrameSize;
    }
    if (pending_[0] != kFrameStart) {
        return kJunk;
    }
    if (pending_.size() < 2) {
        return 0;
    }
    switch (pending_[1]) {
        case kCodeStart:
        case kCodeEnd:
            return kShortFrameSize;
        case kCodeHeader:
            return kHeaderFrameSize;
        case kCodeData:
            return kBlockFrameSize;
        default:
            return kJunk;
    }
}

std::vector<FrameResult> Loader::Feed(const std::uint8_t* data, std::size_t size) {
    pending_.insert(pending_.end(), data, data + size);
    std::vector<FrameResult> results;
    while (!pending_.empty()) {
        const std::size_t length = FrameLength();
        if (length == kJunk) {
            FrameResult junk;
            junk.notes.push_back("junk byte " + HexByte(pending_[0]) + " dropped");
            pending_.erase(pending_.begin());
            results.push_back(std::move(junk));
            continue;
        }
        if (length == 0 || pending_.size() < length) {
            break;
        }
        Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
        results.push_back(Handle(std::move(frame)));
    }
    return results;
}

std::string Loader::DropPartial() {
    std::string note = "partial frame dropped: " + Hex(pending_);
    pending_.clear();
    return note;
}

Bytes Loader::MakeReply(std::uint8_t code, std::uint8_t status) const {
    if (faults_.mute) {
        return {};
    }
    Bytes reply;
    if (faults_.strayByte) {
        reply.push_back(kStray);
    }
    const std::uint8_t sum = static_cast<std::uint8_t>(kFrameStart ^ code ^ status);
    reply.insert(reply.end(),
                 {kFrameStart, code, status,
                  static_cast<std::uint8_t>(faults_.badChecksum ? sum ^ 0xFF : sum), kFrameEnd});
    return reply;
}

FrameResult Loader::Handle(Bytes frame) {
    FrameResult result;
    result.frame = std::move(frame);
    if (!FrameIsSound(result.frame)) {
        // A damaged frame gets no answer: the host repeats it after its
        // time-out, as it would with a real loader.
        result.notes.emplace_back("bad checksum or end byte, not answered");
        return result;
    }
    if (result.frame[0] == kResetStart) {
        result.reply = MakeReply(kCodeStart, faults_.status);
        return result;
    }
    HandleLoaderFrame(&result);
    return result;
}

void Loader::HandleLoaderFrame(FrameResult* result) {
    switch (result->frame[1]) {
        case kCodeStart:
            if (result->frame[2] != kStartPayload) {
                result->notes.push_back("start request payload " + HexByte(result->frame[2]));
            }
            headerSeen_ = false;
            result->reply = MakeReply(kReplyStart, faults_.status);
            break;
        case kCodeHeader:
            HandleHeader(result);
            break;
        case kCodeData:
            HandleBlock(result);
            break;
        default:
            HandleEnd(result);
            break;
    }
}

void Loader::HandleHeader(FrameResult* result) {
    const Bytes& f = result->frame;
    announcedBlocks_ = Be16(f, 2);
    announcedSize_ = Be32(f, 4);
    if (f[kHeaderMarkOffset] != kHeaderMark) {
        result->notes.push_back("header byte 8 is " + HexByte(f[kHeaderMarkOffset]));
    }
    if (announcedBlocks_ != static_cast<std::uint16_t>(announcedSize_ / kBlockDataSize + 1)) {
        result->notes.emplace_back("block count does not match the size");
    }
    result->notes.push_back("header: " + std::to_string(announcedBlocks_) + " blocks, " +
                            std::to_string(announcedSize_) + " bytes");
    if (faults_.refuseHeader) {
        result->reply = MakeReply(kReplyAck, kStatusRefused);
        return;
    }
    headerSeen_ = true;
    nextSequence_ = 1;
    image_.assign(0, 0);
    result->reply = MakeReply(kReplyAck, kStatusAccepted);
}

void Loader::HandleBlock(FrameResult* result) {
    const Bytes& f = result->frame;
    const std::uint16_t sequence = Be16(f, 2);
    if (faults_.abortBlock != 0 && sequence == faults_.abortBlock) {
        result->notes.push_back("aborting on block " + std::to_string(sequence));
        result->reply = MakeReply(kReplyAbort, kStatusRefused);
        result->transferDone = true;
        return;
    }
    if (!headerSeen_ || (sequence != nextSequence_ && sequence + 1 != nextSequence_)) {
        result->notes.push_back("unexpected block " + std::to_string(sequence) + ", refused");
        result->reply = MakeReply(kReplyAck, kStatusRefused);
        return;
    }
    // A block sent again (its answer was lost) replaces the earlier copy.
    const std::size_t offset = (sequence - 1u) * kBlockDataSize;
    image_.resize(offset);
    const auto data = f.begin() + static_cast<std::ptrdiff_t>(kBlockDataOffset);
    image_.insert(image_.end(), data, data + static_cast<std::ptrdiff_t>(kBlockDataSize));
    nextSequence_ = static_cast<std::uint16_t>(sequence + 1);
    result->reply = MakeReply(kReplyAck, kStatusAccepted);
}

void Loader::HandleEnd(FrameResult* result) {
    if (result->frame[2] != kEndPayload) {
        result->notes.push_back("end request payload " + HexByte(result->frame[2]));
    }
    if (image_.size() < announcedSize_) {
        result->notes.push_back("image short: " + std::to_string(image_.size()) + " of " +
                                std::to_string(announcedSize_) + " bytes");
    } else {
        bool filled = true;
        for (std::size_t i = announcedSize_; i < image_.size(); ++i) {
            filled = filled && image_[i] == kFillByte;
        }
        result->notes.emplace_back(filled ? "fill ok" : "fill is not 0x1A");
        image_.resize(announcedSize_);
    }
    result->reply = MakeReply(kReplyAck, kStatusAccepted);
    result->transferDone = true;
    result->imageReady = true;
}

}  // namespace mcusim
