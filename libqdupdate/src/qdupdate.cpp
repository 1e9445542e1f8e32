#include "qdupdate.h"

#include <cstring>

#include "qd_bytes.h"

namespace qdpkg {

std::int32_t LoadField(const unsigned char* raw, std::size_t offset) noexcept {
    return static_cast<std::int32_t>(qd::LoadLe32(raw + offset));
}

void StoreField(unsigned char* raw, std::size_t offset, std::int32_t value) noexcept {
    qd::StoreLe32(raw + offset, static_cast<std::uint32_t>(value));
}

// Byte arrays keep their file bytes as they are; only the integers need
// their byte order fixed, which the memcpy alone would get wrong on a
// big-endian host.
void DecodePackHead(const unsigned char (&raw)[kPackHeadSize], QDUPK_PACKHEAD_T& head) noexcept {
    std::memcpy(&head, raw, kPackHeadSize);
    head.dwSize = LoadField(raw, offsetof(QDUPK_PACKHEAD_T, dwSize));
    head.nMaskID = LoadField(raw, offsetof(QDUPK_PACKHEAD_T, nMaskID));
    head.nUpkVersion = LoadField(raw, offsetof(QDUPK_PACKHEAD_T, nUpkVersion));
    head.nItems = LoadField(raw, offsetof(QDUPK_PACKHEAD_T, nItems));
}

void DecodeItemHead(const unsigned char (&raw)[kItemHeadSize], QDUPK_PKTITEM_T& item) noexcept {
    std::memcpy(&item, raw, kItemHeadSize);
    item.dwSize = LoadField(raw, offsetof(QDUPK_PKTITEM_T, dwSize));
    item.nMaskID = LoadField(raw, offsetof(QDUPK_PKTITEM_T, nMaskID));
    item.nItemIndex = LoadField(raw, offsetof(QDUPK_PKTITEM_T, nItemIndex));
    item.nItemType = LoadField(raw, offsetof(QDUPK_PKTITEM_T, nItemType));
    item.bRebootFlag = LoadField(raw, offsetof(QDUPK_PKTITEM_T, bRebootFlag));
    item.nDataSize = LoadField(raw, offsetof(QDUPK_PKTITEM_T, nDataSize));
}

void DecodePackEnd(const unsigned char (&raw)[kPackEndSize], QDUPK_PACKEND_T& end) noexcept {
    std::memcpy(&end, raw, kPackEndSize);
    end.dwSize = LoadField(raw, offsetof(QDUPK_PACKEND_T, dwSize));
    end.nMaskID = LoadField(raw, offsetof(QDUPK_PACKEND_T, nMaskID));
}

void EncodePackHead(const QDUPK_PACKHEAD_T& head, unsigned char (&raw)[kPackHeadSize]) noexcept {
    std::memcpy(raw, &head, kPackHeadSize);
    StoreField(raw, offsetof(QDUPK_PACKHEAD_T, dwSize), head.dwSize);
    StoreField(raw, offsetof(QDUPK_PACKHEAD_T, nMaskID), head.nMaskID);
    StoreField(raw, offsetof(QDUPK_PACKHEAD_T, nUpkVersion), head.nUpkVersion);
    StoreField(raw, offsetof(QDUPK_PACKHEAD_T, nItems), head.nItems);
}

void EncodeItemHead(const QDUPK_PKTITEM_T& item, unsigned char (&raw)[kItemHeadSize]) noexcept {
    std::memcpy(raw, &item, kItemHeadSize);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, dwSize), item.dwSize);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, nMaskID), item.nMaskID);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, nItemIndex), item.nItemIndex);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, nItemType), item.nItemType);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, bRebootFlag), item.bRebootFlag);
    StoreField(raw, offsetof(QDUPK_PKTITEM_T, nDataSize), item.nDataSize);
}

void EncodePackEnd(const QDUPK_PACKEND_T& end, unsigned char (&raw)[kPackEndSize]) noexcept {
    std::memcpy(raw, &end, kPackEndSize);
    StoreField(raw, offsetof(QDUPK_PACKEND_T, dwSize), end.dwSize);
    StoreField(raw, offsetof(QDUPK_PACKEND_T, nMaskID), end.nMaskID);
}

void GetBufferFan(const char* pSrcbuff, char* pDstbuff, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        pDstbuff[i] = static_cast<char>(~static_cast<unsigned char>(pSrcbuff[i]));
    }
}

bool StoredTextTerminated(const char (&field)[QDUPK_TEXT_SIZE]) noexcept {
    return std::memchr(field, 0xFF, QDUPK_TEXT_SIZE) != nullptr;
}

bool PackHeadValid(const QDUPK_PACKHEAD_T& head) noexcept {
    return head.nMaskID == QDUPK_PACKHEAD_MASK &&
           head.dwSize == static_cast<std::int32_t>(kPackHeadSize) && head.nItems >= 1;
}

bool PackHeadTextTerminated(const QDUPK_PACKHEAD_T& head) noexcept {
    return StoredTextTerminated(head.szPktName) && StoredTextTerminated(head.szPktVersion) &&
           StoredTextTerminated(head.szDevID);
}

bool ItemHeadValid(const QDUPK_PKTITEM_T& item, std::int32_t index) noexcept {
    return item.dwSize == static_cast<std::int32_t>(kItemHeadSize) &&
           item.nMaskID == QDUPK_PKTITEM_MASK && item.nItemIndex == index && item.nDataSize >= 1;
}

bool ItemHeadTextTerminated(const QDUPK_PKTITEM_T& item) noexcept {
    return StoredTextTerminated(item.szDevID) && StoredTextTerminated(item.szDesc) &&
           StoredTextTerminated(item.szDstFileName);
}

bool PackEndValid(const QDUPK_PACKEND_T& end) noexcept {
    return end.nMaskID == QDUPK_PACKEND_MASK &&
           end.dwSize == static_cast<std::int32_t>(kPackEndSize);
}

void DecodePackHeadText(QDUPK_PACKHEAD_T& head) noexcept {
    GetBufferFan(head.szPktName, head.szPktName, QDUPK_TEXT_SIZE);
    GetBufferFan(head.szPktVersion, head.szPktVersion, QDUPK_TEXT_SIZE);
    GetBufferFan(head.szDevID, head.szDevID, QDUPK_TEXT_SIZE);
}

void DecodeItemHeadText(QDUPK_PKTITEM_T& item) noexcept {
    GetBufferFan(item.szDevID, item.szDevID, QDUPK_TEXT_SIZE);
    GetBufferFan(item.szDesc, item.szDesc, QDUPK_TEXT_SIZE);
    GetBufferFan(item.szDstFileName, item.szDstFileName, QDUPK_TEXT_SIZE);
}

}  // namespace qdpkg
