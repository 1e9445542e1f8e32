// Finding and checking a package's seal. The records are walked by the
// package reader's own steps; item data is skipped, not read, because the
// seal's digest covers it and an update checks its MD5s anyway.
#include <sys/stat.h>

#include "pkg_steps.h"
#include "seal.h"

namespace qdupk {

namespace {

int SkipItems(std::FILE* fp, std::int32_t nItems, Report& report) noexcept {
    for (std::int32_t i = 0; i < nItems; ++i) {
        QDUPK_PKTITEM_T item;
        const int ret = ReadItemHead(fp, i, &item, report);
        if (ret != 0) {
            return ret;
        }
        // A seek past the end succeeds; the next read then comes up short.
        if (fseeko(fp, static_cast<off_t>(item.nDataSize), SEEK_CUR) != 0) {
            QDUPK_REPORT_ERR(report, "item data of item %d cannot be skipped\n", i);
            return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kShort, i);
        }
    }
    return 0;
}

}  // namespace

int FindPackageEnd(std::FILE* fp, std::uint64_t* endOffset, std::uint64_t* fileSize) noexcept {
    Report report;
    QDUPK_PACKHEAD_T head;
    int ret = GetPkgHead(fp, &head, report);
    if (ret == 0) {
        ret = SkipItems(fp, head.nItems, report);
    }
    if (ret == 0) {
        ret = ReadPackEnd(fp, report);
    }
    struct stat st {};
    const off_t end = ret == 0 ? ftello(fp) : -1;
    if (ret == 0 && (end < 0 || fstat(fileno(fp), &st) != 0)) {
        QD_LOG_ERR("package size cannot be found\n");
        ret = QDUPKERR_INVALIDPKG;
    }
    if (ret != 0) {
        return ret;
    }
    *endOffset = static_cast<std::uint64_t>(end);
    *fileSize = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

}  // namespace qdupk
