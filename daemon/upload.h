// Receiving one upgrade package on an accepted connection and installing it.
//
// Wire format, client to device: 8-byte header, magic 0xAACCDD03 and the
// package length (signed, above 0), both big-endian, directly followed by
// the package. A successful upload is acknowledged by the service loop with
// the magic and a result word 0 (AA CC DD 03 00 00 00 00); a failed one is
// closed without an answer.
#ifndef UPLOAD_H
#define UPLOAD_H

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kUploadMagic = 0xAACCDD03;
constexpr std::size_t kUploadHeaderSize = 8;

// Runs one upload on the non-blocking connection `fd` (neither closed nor
// written here): header, package into "<tmpdir>/qboot.upg", verification and
// installation of every item through qdboot_updatecallback. The file is
// removed on every path. 0 on success; -1 when the upload itself failed
// (header, file, receiving, writing, package head); otherwise the non-zero
// result of libqdupk_update.
int client_update(int fd) noexcept;

#endif  // UPLOAD_H
