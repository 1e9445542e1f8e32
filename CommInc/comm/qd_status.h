// The status query: a tool asks one camera how it is, by unicast to the
// camera's search port (qd_wire.h). Words are little-endian, as in the
// search; texts are zero-padded and a full field has no terminator.
//
// Query, kStatusQueryMinSize to kStatusQueryMaxSize bytes:
//    0  magic (53 51 56 12)
//    4  anything, sent back unchanged (the tool's nonce)
//    8  zero padding: the reply is never larger than the query, so a query
//       pays for its answer and the camera never amplifies
//
// Reply, kStatusReplySize bytes, to the query's sender:
//    0  magic (53 52 56 12), never a query's, so a reply sent to a camera
//       is not answered
//    4  the query's bytes 4 to 7
//    8  format version (16 bits), kStatusFormat
//   10  detail: 0 basic, 1 full (the fields marked "full" are zero in basic)
//   11  flags: bit 0 the daemon runs in recovery; bit 1 the seal counter
//       below is known (full)
//   12  seconds since the daemon started
//   16  the daemon's version (32)
//   48  the device name (64)
//  112  the boot journal's state (16): "none", "no journal", "writing",
//       "trial", "failed", "good", "bad", "rolledback", or the value found
//  128  the running slot (4): "a", "b", or empty when unknown
//  132  the seal counter (64 bits, full)
//  140  the last upload since start (full): kStatusNoUpload, kStatusInstalled
//       or a refusal's reason code (StatusReason)
//  144  the identity of the last upload's package (20, full; empty when it
//       was refused before its identity was known)
//  164  the last installed package's name (64, full)
//  228  its version (64, full)
//  292  its identity (20, full)
//  312  the last upload's result as a short text (128, full), e.g.
//       "rollback: counter 99 is lower than 100"
//  440  zero, reserved for later formats, up to kStatusReplySize
#ifndef QD_STATUS_H
#define QD_STATUS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qd_bytes.h"

namespace qd {

constexpr std::uint32_t kStatusQueryMagic = 0x12565153;
constexpr std::uint32_t kStatusReplyMagic = 0x12565253;
constexpr std::uint16_t kStatusFormat = 1;
constexpr std::size_t kStatusReplySize = 512;
constexpr std::size_t kStatusQueryMinSize = kStatusReplySize;
constexpr std::size_t kStatusQueryMaxSize = 1024;

constexpr std::size_t kStatusNonceOffset = 4;
constexpr std::size_t kStatusFormatOffset = 8;
constexpr std::size_t kStatusDetailOffset = 10;
constexpr std::size_t kStatusFlagsOffset = 11;
constexpr std::size_t kStatusUptimeOffset = 12;
constexpr std::size_t kStatusVersionOffset = 16;
constexpr std::size_t kStatusVersionSize = 32;
constexpr std::size_t kStatusDeviceOffset = 48;
constexpr std::size_t kStatusDeviceSize = 64;
constexpr std::size_t kStatusStateOffset = 112;
constexpr std::size_t kStatusStateSize = 16;
constexpr std::size_t kStatusSlotOffset = 128;
constexpr std::size_t kStatusSlotSize = 4;
constexpr std::size_t kStatusCounterOffset = 132;
constexpr std::size_t kStatusLastResultOffset = 140;
constexpr std::size_t kStatusLastIdentityOffset = 144;
constexpr std::size_t kStatusIdentitySize = 20;
constexpr std::size_t kStatusNameOffset = 164;
constexpr std::size_t kStatusNameSize = 64;
constexpr std::size_t kStatusPkgVersionOffset = 228;
constexpr std::size_t kStatusPkgVersionSize = 64;
constexpr std::size_t kStatusIdentityOffset = 292;
constexpr std::size_t kStatusLastTextOffset = 312;
constexpr std::size_t kStatusLastTextSize = 128;
constexpr std::size_t kStatusUsedSize = 440;

static_assert(kStatusVersionOffset + kStatusVersionSize == kStatusDeviceOffset &&
                  kStatusDeviceOffset + kStatusDeviceSize == kStatusStateOffset &&
                  kStatusStateOffset + kStatusStateSize == kStatusSlotOffset &&
                  kStatusSlotOffset + kStatusSlotSize == kStatusCounterOffset &&
                  kStatusCounterOffset + 8 == kStatusLastResultOffset &&
                  kStatusLastResultOffset + 4 == kStatusLastIdentityOffset &&
                  kStatusLastIdentityOffset + kStatusIdentitySize == kStatusNameOffset &&
                  kStatusNameOffset + kStatusNameSize == kStatusPkgVersionOffset &&
                  kStatusPkgVersionOffset + kStatusPkgVersionSize == kStatusIdentityOffset &&
                  kStatusIdentityOffset + kStatusIdentitySize == kStatusLastTextOffset &&
                  kStatusLastTextOffset + kStatusLastTextSize == kStatusUsedSize,
              "the reply's fields follow each other without gaps");
static_assert(kStatusUsedSize <= kStatusReplySize, "the fields fit in the reply");
static_assert(kStatusQueryMinSize >= kStatusReplySize, "a query pays for its answer");

// The last upload since the daemon started.
enum StatusReason : std::uint32_t {
    kStatusNoUpload = 0,
    kStatusInstalled = 1,
    // Refusals.
    kStatusReceiveFailed = 16,  // header, timeout, the file could not be stored
    kStatusNotAPackage = 17,    // no readable package head
    kStatusDamaged = 18,        // records or item digests do not hold
    kStatusOtherDevice = 19,    // made for another device
    kStatusNotSigned = 20,      // seals required, the package has none
    kStatusUntrustedKey = 21,   // signed by a key the camera does not trust
    kStatusBadSignature = 22,   // the seal does not verify
    kStatusRollback = 23,       // its counter is below the stored one
    kStatusBadSeal = 24,        // a seal that is damaged or malformed
    kStatusSealSettings = 25,   // the camera's seal settings refuse every upload
    kStatusCounterFile = 26,    // the counter file cannot be read or stored
    kStatusNoRoom = 27,         // an item's directory is missing or has no room
    kStatusInstallFailed = 28,  // writing or installing an item failed
    kStatusJournalFailed = 29,  // the boot journal could not be stored
    kStatusBootRules = 30,      // the boot journal's rules refuse it (a trial runs, ...)
};

constexpr std::uint8_t kStatusFlagRecovery = 1U << 0;
constexpr std::uint8_t kStatusFlagCounterKnown = 1U << 1;

// A reply's fields, texts terminated.
struct StatusReport {
    std::uint16_t format = kStatusFormat;
    bool full = false;
    bool recovery = false;
    bool counterKnown = false;
    std::uint32_t uptime = 0;
    char version[kStatusVersionSize + 1] = {};
    char device[kStatusDeviceSize + 1] = {};
    char state[kStatusStateSize + 1] = {};
    char slot[kStatusSlotSize + 1] = {};
    std::uint64_t counter = 0;
    std::uint32_t lastResult = kStatusNoUpload;
    char lastIdentity[kStatusIdentitySize + 1] = {};
    char name[kStatusNameSize + 1] = {};
    char pkgVersion[kStatusPkgVersionSize + 1] = {};
    char identity[kStatusIdentitySize + 1] = {};
    char lastText[kStatusLastTextSize + 1] = {};
};

namespace status_detail {

inline void PutText(unsigned char* at, std::size_t size, const char* text) noexcept {
    const void* end = std::memchr(text, '\0', size);
    const std::size_t n =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : size;
    std::memcpy(at, text, n);
}

template <std::size_t N>
void GetText(const unsigned char* at, char (&text)[N]) noexcept {
    std::memcpy(text, at, N - 1);
    text[N - 1] = '\0';
}

inline void StoreLe64(unsigned char* p, std::uint64_t v) noexcept {
    StoreLe32(p, static_cast<std::uint32_t>(v));
    StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint64_t LoadLe64(const unsigned char* p) noexcept {
    return static_cast<std::uint64_t>(LoadLe32(p)) | static_cast<std::uint64_t>(LoadLe32(p + 4))
                                                         << 32;
}

}  // namespace status_detail

// A query of the smallest size that gets a full answer.
inline void EncodeStatusQuery(std::uint32_t nonce,
                              unsigned char (&out)[kStatusQueryMinSize]) noexcept {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, kStatusQueryMagic);
    StoreLe32(out + kStatusNonceOffset, nonce);
}

// True for a status query of a size the camera answers.
inline bool IsStatusQuery(const unsigned char* packet, std::size_t size) noexcept {
    return size >= kStatusQueryMinSize && size <= kStatusQueryMaxSize &&
           LoadLe32(packet) == kStatusQueryMagic;
}

// The reply to the query that carried `nonce`. Fields a basic answer leaves
// out are sent as zero whatever `report` holds.
inline void EncodeStatusReply(const StatusReport& report, std::uint32_t nonce,
                              unsigned char (&out)[kStatusReplySize]) noexcept {
    using status_detail::PutText;
    std::memset(out, 0, sizeof out);
    StoreLe32(out, kStatusReplyMagic);
    StoreLe32(out + kStatusNonceOffset, nonce);
    out[kStatusFormatOffset] = static_cast<unsigned char>(report.format);
    out[kStatusFormatOffset + 1] = static_cast<unsigned char>(report.format >> 8);
    out[kStatusDetailOffset] = report.full ? 1 : 0;
    StoreLe32(out + kStatusUptimeOffset, report.uptime);
    PutText(out + kStatusVersionOffset, kStatusVersionSize, report.version);
    PutText(out + kStatusDeviceOffset, kStatusDeviceSize, report.device);
    PutText(out + kStatusStateOffset, kStatusStateSize, report.state);
    PutText(out + kStatusSlotOffset, kStatusSlotSize, report.slot);
    std::uint8_t flags = report.recovery ? kStatusFlagRecovery : 0;
    if (report.full) {
        flags |= report.counterKnown ? kStatusFlagCounterKnown : 0;
        status_detail::StoreLe64(out + kStatusCounterOffset, report.counter);
        StoreLe32(out + kStatusLastResultOffset, report.lastResult);
        PutText(out + kStatusLastIdentityOffset, kStatusIdentitySize, report.lastIdentity);
        PutText(out + kStatusNameOffset, kStatusNameSize, report.name);
        PutText(out + kStatusPkgVersionOffset, kStatusPkgVersionSize, report.pkgVersion);
        PutText(out + kStatusIdentityOffset, kStatusIdentitySize, report.identity);
        PutText(out + kStatusLastTextOffset, kStatusLastTextSize, report.lastText);
    }
    out[kStatusFlagsOffset] = flags;
}

// Decodes a reply. False when it is not one (magic, or shorter than the
// fields of format 1); a later format's extra bytes are ignored.
inline bool DecodeStatusReply(const unsigned char* packet, std::size_t size, StatusReport* report,
                              std::uint32_t* nonce) noexcept {
    using status_detail::GetText;
    if (size < kStatusUsedSize || LoadLe32(packet) != kStatusReplyMagic) {
        return false;
    }
    StatusReport r;
    *nonce = LoadLe32(packet + kStatusNonceOffset);
    r.format = static_cast<std::uint16_t>(packet[kStatusFormatOffset] |
                                          packet[kStatusFormatOffset + 1] << 8);
    r.full = packet[kStatusDetailOffset] != 0;
    const std::uint8_t flags = packet[kStatusFlagsOffset];
    r.recovery = (flags & kStatusFlagRecovery) != 0;
    r.counterKnown = (flags & kStatusFlagCounterKnown) != 0;
    r.uptime = LoadLe32(packet + kStatusUptimeOffset);
    GetText(packet + kStatusVersionOffset, r.version);
    GetText(packet + kStatusDeviceOffset, r.device);
    GetText(packet + kStatusStateOffset, r.state);
    GetText(packet + kStatusSlotOffset, r.slot);
    r.counter = status_detail::LoadLe64(packet + kStatusCounterOffset);
    r.lastResult = LoadLe32(packet + kStatusLastResultOffset);
    GetText(packet + kStatusLastIdentityOffset, r.lastIdentity);
    GetText(packet + kStatusNameOffset, r.name);
    GetText(packet + kStatusPkgVersionOffset, r.pkgVersion);
    GetText(packet + kStatusIdentityOffset, r.identity);
    GetText(packet + kStatusLastTextOffset, r.lastText);
    *report = r;
    return true;
}

}  // namespace qd

#endif  // QD_STATUS_H
