// The MCU loader's side of the serial upgrade protocol: splits the host's
// byte stream into frames, checks each one, keeps the image and decides the
// reply. Knows nothing of terminals; the caller moves the bytes.
#ifndef MCU_SIM_LOADER_H
#define MCU_SIM_LOADER_H

#include <cstdint>
#include <string>
#include <vector>

namespace mcusim {

using Bytes = std::vector<std::uint8_t>;

struct Faults {
    bool mute = false;           // never answer
    bool refuseHeader = false;   // answer the image header with FB 00
    int abortBlock = 0;          // answer data block k with F9 (0: never)
    bool strayByte = false;      // one byte before each reply
    bool badChecksum = false;    // replies carry a wrong checksum
    std::uint8_t status = 0x00;  // status of the F6 and F7 replies
};

// What one complete frame from the host led to.
struct FrameResult {
    Bytes frame;  // the frame as received
    Bytes reply;  // empty: no answer
    std::vector<std::string> notes;
    bool transferDone = false;  // end request answered or abort sent
    bool imageReady = false;    // end request: Image() holds the transfer
};

class Loader {
  public:
    explicit Loader(Faults faults) : faults_(faults) {}

    // Appends received bytes; returns one result per complete frame. Bytes
    // that cannot start a frame are reported in a note and dropped.
    std::vector<FrameResult> Feed(const std::uint8_t* data, std::size_t size);

    // Drops a partial frame (the host went quiet in the middle of one).
    std::string DropPartial();
    bool HasPartial() const { return !pending_.empty(); }

    // The image as announced (without the block fill), after an end request.
    const Bytes& Image() const { return image_; }

  private:
    std::size_t FrameLength() const;  // 0: not known yet; SIZE_MAX: junk
    FrameResult Handle(Bytes frame);
    void HandleLoaderFrame(FrameResult* result);
    void HandleHeader(FrameResult* result);
    void HandleBlock(FrameResult* result);
    void HandleEnd(FrameResult* result);
    Bytes MakeReply(std::uint8_t code, std::uint8_t status) const;

    Faults faults_;
    Bytes pending_;
    Bytes image_;
    std::uint32_t announcedSize_ = 0;
    std::uint16_t announcedBlocks_ = 0;
    std::uint16_t nextSequence_ = 1;
    bool headerSeen_ = false;
};

std::string Hex(const Bytes& bytes);

}  // namespace mcusim

#endif  // MCU_SIM_LOADER_H
