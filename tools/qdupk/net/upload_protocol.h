// The upload on the wire: an 8-byte header (magic, then the package length,
// both big-endian), the package, and the camera's 8-byte acknowledgement,
// which it sends only when it has verified and installed the package.
#ifndef QDUPK_TOOL_UPLOAD_PROTOCOL_H
#define QDUPK_TOOL_UPLOAD_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qd_wire.h"

namespace qdupk {

using UploadHeader = std::array<unsigned char, qd::kUploadHeaderSize>;

// The length must be 1 to qd::kMaxUploadLength.
UploadHeader EncodeUploadHeader(std::uint32_t length);

// True only for the acknowledgement of a successful upload: the magic and
// result 0.
bool IsAcceptance(const unsigned char* answer, std::size_t size);

// "AA CC DD 03 ..." for messages about an unexpected answer.
std::string HexBytes(const unsigned char* data, std::size_t size);

}  // namespace qdupk

#endif  // QDUPK_TOOL_UPLOAD_PROTOCOL_H
