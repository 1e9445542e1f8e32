// Reading the three records from an open package stream.
#include <cstring>

#include "pkg_steps.h"
#include "qd_log.h"

namespace qdupk {

bool SeekTo(std::FILE* fpFile, off_t offset) noexcept {
    return fseeko(fpFile, offset, SEEK_SET) == 0;
}

int GetPkgHead(std::FILE* fpFile, QDUPK_PACKHEAD_T* pPkgHead) noexcept {
    unsigned char raw[kPackHeadSize];
    if (!SeekTo(fpFile, 0) || std::fread(raw, 1, sizeof raw, fpFile) != sizeof raw) {
        return QDUPKERR_INVALIDPKG;
    }
    DecodePackHead(raw, *pPkgHead);
    // A text without its terminator would be read past its field by every
    // user of the decoded head, so such a head is as invalid as a bad mark.
    if (!PackHeadValid(*pPkgHead) || !PackHeadTextTerminated(*pPkgHead)) {
        QD_LOG_ERR("invalid update pkg\n");
        return QDUPKERR_INVALIDPKG;
    }
    DecodePackHeadText(*pPkgHead);
    return 0;
}

int ReadItemHead(std::FILE* fpFile, std::int32_t index, QDUPK_PKTITEM_T* pItem) noexcept {
    unsigned char raw[kItemHeadSize];
    const std::size_t got = std::fread(raw, 1, sizeof raw, fpFile);
    if (got != sizeof raw) {
        // The fields of a short record are not in the file; report zeros.
        std::memset(raw + got, 0, sizeof raw - got);
    }
    DecodeItemHead(raw, *pItem);
    if (got != sizeof raw || !ItemHeadValid(*pItem, index)) {
        QD_LOG_ERR(
            "item head error, iRet=%d, dwSize=%d, nMaskID=%08X, nItemIndex=%d, "
            "nDataSize=%d\n",
            static_cast<int>(got), pItem->dwSize, static_cast<unsigned>(pItem->nMaskID),
            pItem->nItemIndex, pItem->nDataSize);
        return QDUPKERR_INVALIDPKG;
    }
    if (!ItemHeadTextTerminated(*pItem)) {
        QD_LOG_ERR("item head error, text field without terminator, nItemIndex=%d\n", index);
        return QDUPKERR_INVALIDPKG;
    }
    return 0;
}

int ReadPackEnd(std::FILE* fpFile) noexcept {
    unsigned char raw[kPackEndSize];
    if (std::fread(raw, 1, sizeof raw, fpFile) != sizeof raw) {
        return QDUPKERR_INVALIDPKG;
    }
    QDUPK_PACKEND_T end;
    DecodePackEnd(raw, end);
    if (!PackEndValid(end)) {
        QD_LOG_ERR("invalid update pkg\n");
        return QDUPKERR_INVALIDPKG;
    }
    return 0;
}

}  // namespace qdupk
