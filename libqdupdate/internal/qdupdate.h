// The three records of a package file and their one codec. A package is
// little-endian on every host, so records are never read by casting file
// bytes: each is read whole into a byte array and its integers are decoded
// through LoadField.
#ifndef QDUPK_QDUPDATE_H
#define QDUPK_QDUPDATE_H

#include <cstddef>
#include <cstdint>

#include "libqdupdate.h"

constexpr std::size_t QDUPK_TEXT_SIZE = 128;
constexpr std::size_t QDUPK_UUID_SIZE = 16;
constexpr std::size_t QDUPK_MD5_SIZE = 16;

// Record marks as they compare against the signed fields.
constexpr std::int32_t QDUPK_PACKHEAD_MASK = static_cast<std::int32_t>(0xCDFAC190U);
constexpr std::int32_t QDUPK_PKTITEM_MASK = static_cast<std::int32_t>(0xCDFAE192U);
constexpr std::int32_t QDUPK_PACKEND_MASK = static_cast<std::int32_t>(0xCDFAD191U);

typedef struct tagQDUPK_PACKHEAD_T {
    unsigned char byUUID1[QDUPK_UUID_SIZE];
    std::int32_t dwSize;
    std::int32_t nMaskID;
    std::int32_t nUpkVersion;
    char szPktName[QDUPK_TEXT_SIZE];
    char szPktVersion[QDUPK_TEXT_SIZE];
    char szDevID[QDUPK_TEXT_SIZE];
    std::int32_t nItems;
    unsigned char byUUID2[QDUPK_UUID_SIZE];
} QDUPK_PACKHEAD_T;

typedef struct tagQDUPK_PKTITEM_T {
    unsigned char byUUID1[QDUPK_UUID_SIZE];
    std::int32_t dwSize;
    std::int32_t nMaskID;
    std::int32_t nItemIndex;
    std::int32_t nItemType;
    std::int32_t bRebootFlag;
    char szDevID[QDUPK_TEXT_SIZE];
    char szDesc[QDUPK_TEXT_SIZE];
    char szDstFileName[QDUPK_TEXT_SIZE];
    unsigned char szDataMd5[QDUPK_MD5_SIZE];
    std::int32_t nDataSize;
    unsigned char byUUID2[QDUPK_UUID_SIZE];
} QDUPK_PKTITEM_T;

typedef struct tagQDUPK_PACKEND_T {
    unsigned char byUUID1[QDUPK_UUID_SIZE];
    std::int32_t dwSize;
    std::int32_t nMaskID;
    unsigned char byUUID2[QDUPK_UUID_SIZE];
} QDUPK_PACKEND_T;

// The in-memory records mirror the file layout byte for byte, so the field
// offsets below are also the file offsets the codec uses.
static_assert(sizeof(QDUPK_PACKHEAD_T) == 432);
static_assert(offsetof(QDUPK_PACKHEAD_T, byUUID1) == 0);
static_assert(offsetof(QDUPK_PACKHEAD_T, dwSize) == 16);
static_assert(offsetof(QDUPK_PACKHEAD_T, nMaskID) == 20);
static_assert(offsetof(QDUPK_PACKHEAD_T, nUpkVersion) == 24);
static_assert(offsetof(QDUPK_PACKHEAD_T, szPktName) == 28);
static_assert(offsetof(QDUPK_PACKHEAD_T, szPktVersion) == 156);
static_assert(offsetof(QDUPK_PACKHEAD_T, szDevID) == 284);
static_assert(offsetof(QDUPK_PACKHEAD_T, nItems) == 412);
static_assert(offsetof(QDUPK_PACKHEAD_T, byUUID2) == 416);

static_assert(sizeof(QDUPK_PKTITEM_T) == 456);
static_assert(offsetof(QDUPK_PKTITEM_T, byUUID1) == 0);
static_assert(offsetof(QDUPK_PKTITEM_T, dwSize) == 16);
static_assert(offsetof(QDUPK_PKTITEM_T, nMaskID) == 20);
static_assert(offsetof(QDUPK_PKTITEM_T, nItemIndex) == 24);
static_assert(offsetof(QDUPK_PKTITEM_T, nItemType) == 28);
static_assert(offsetof(QDUPK_PKTITEM_T, bRebootFlag) == 32);
static_assert(offsetof(QDUPK_PKTITEM_T, szDevID) == 36);
static_assert(offsetof(QDUPK_PKTITEM_T, szDesc) == 164);
static_assert(offsetof(QDUPK_PKTITEM_T, szDstFileName) == 292);
static_assert(offsetof(QDUPK_PKTITEM_T, szDataMd5) == 420);
static_assert(offsetof(QDUPK_PKTITEM_T, nDataSize) == 436);
static_assert(offsetof(QDUPK_PKTITEM_T, byUUID2) == 440);

static_assert(sizeof(QDUPK_PACKEND_T) == 40);
static_assert(offsetof(QDUPK_PACKEND_T, byUUID1) == 0);
static_assert(offsetof(QDUPK_PACKEND_T, dwSize) == 16);
static_assert(offsetof(QDUPK_PACKEND_T, nMaskID) == 20);
static_assert(offsetof(QDUPK_PACKEND_T, byUUID2) == 24);

namespace qdpkg {

// The device id of a package that every device accepts.
constexpr char kAnyDevice[] = "QUNDAR";

constexpr std::size_t kPackHeadSize = sizeof(QDUPK_PACKHEAD_T);
constexpr std::size_t kItemHeadSize = sizeof(QDUPK_PKTITEM_T);
constexpr std::size_t kPackEndSize = sizeof(QDUPK_PACKEND_T);

// The one place a 32-bit little-endian field is read from or written to a
// record's bytes.
std::int32_t LoadField(const unsigned char* raw, std::size_t offset) noexcept;
void StoreField(unsigned char* raw, std::size_t offset, std::int32_t value) noexcept;

void DecodePackHead(const unsigned char (&raw)[kPackHeadSize], QDUPK_PACKHEAD_T& head) noexcept;
void DecodeItemHead(const unsigned char (&raw)[kItemHeadSize], QDUPK_PKTITEM_T& item) noexcept;
void DecodePackEnd(const unsigned char (&raw)[kPackEndSize], QDUPK_PACKEND_T& end) noexcept;
void EncodePackHead(const QDUPK_PACKHEAD_T& head, unsigned char (&raw)[kPackHeadSize]) noexcept;
void EncodeItemHead(const QDUPK_PKTITEM_T& item, unsigned char (&raw)[kItemHeadSize]) noexcept;
void EncodePackEnd(const QDUPK_PACKEND_T& end, unsigned char (&raw)[kPackEndSize]) noexcept;

// Text fields are stored complemented; the transform is its own inverse.
void GetBufferFan(const char* pSrcbuff, char* pDstbuff, std::size_t size) noexcept;
// True when a complemented field holds a stored terminator (0xFF), so its
// decoded text ends inside the field.
bool StoredTextTerminated(const char (&field)[QDUPK_TEXT_SIZE]) noexcept;

// Record rules beyond the full-length read, in the order they are tested.
bool PackHeadValid(const QDUPK_PACKHEAD_T& head) noexcept;
bool PackHeadTextTerminated(const QDUPK_PACKHEAD_T& head) noexcept;
bool ItemHeadValid(const QDUPK_PKTITEM_T& item, std::int32_t index) noexcept;
bool ItemHeadTextTerminated(const QDUPK_PKTITEM_T& item) noexcept;
bool PackEndValid(const QDUPK_PACKEND_T& end) noexcept;

void DecodePackHeadText(QDUPK_PACKHEAD_T& head) noexcept;
void DecodeItemHeadText(QDUPK_PKTITEM_T& item) noexcept;

}  // namespace qdpkg

#endif  // QDUPK_QDUPDATE_H
