#include "upload_protocol.h"

#include <cstdio>

#include "qd_bytes.h"

namespace qdupk {

UploadHeader EncodeUploadHeader(std::uint32_t length) {
    UploadHeader header{};
    qd::StoreBe32(header.data(), qd::kUploadMagic);
    qd::StoreBe32(header.data() + 4, length);
    return header;
}

bool IsAcceptance(const unsigned char* answer, std::size_t size) {
    return size == qd::kUploadAckSize && qd::LoadBe32(answer) == qd::kUploadMagic &&
           qd::LoadBe32(answer + 4) == 0;
}

std::string HexBytes(const unsigned char* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char byte[4];
        (void)std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
        text += byte;
    }
    return text;
}

}  // namespace qdupk
