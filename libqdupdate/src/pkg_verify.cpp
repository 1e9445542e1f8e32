// Verification pass: nothing is extracted until every item head, every
// digest and the end record have been read and found right.
#include <cstring>

#include "md5enc.h"
#include "pkg_steps.h"

namespace qdupk {

namespace {

int CheckDevice(const QDUPK_PACKHEAD_T& head, const char* szDevID, Report& report) noexcept {
    if (std::strcmp(head.szDevID, kAnyDevice) == 0) {
        if (report.printLines) {
            QD_LOG_TRACE("QUNDAR any update packet\n");
        }
        return 0;
    }
    if (std::strcmp(head.szDevID, szDevID) != 0) {
        QDUPK_REPORT_ERR(report, "device id error[%s]\n", head.szDevID);
        return Fail(report, QDUPKERR_DEVID, FaultPart::kDevice, FaultKind::kOtherDevice);
    }
    return 0;
}

// The item's data against its digest; the stream ends up at the next head.
int CheckItemData(std::FILE* fpFile, const QDUPK_PKTITEM_T& item, std::int32_t index,
                  Report& report) noexcept {
    unsigned char digest[QDUPK_MD5_SIZE];
    const int ret = md5FileData(fpFile, item.nDataSize, digest, report);
    report.fault.item = ret != 0 ? index : -1;
    report.fault.dataSize = item.nDataSize;
    if (ret != 0) {
        return ret;
    }
    if (std::memcmp(digest, item.szDataMd5, sizeof digest) != 0) {
        QDUPK_REPORT_ERR(report, "crc data error\n");
        return Fail(report, QDUPKERR_CRCDATA, FaultPart::kItemData, FaultKind::kDigest, index);
    }
    return 0;
}

void ShowItem(const QDUPK_PKTITEM_T& item, ItemVisitor* visitor) noexcept {
    if (visitor != nullptr) {
        QDUPK_PKTITEM_T decoded = item;
        DecodeItemHeadText(decoded);
        visitor->OnItem(decoded);
    }
}

}  // namespace

int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5,
                Report& report) noexcept {
    unsigned char chunk[kChunkSize];
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    report.fault = Fault{};
    std::size_t remaining = static_cast<std::size_t>(size);
    while (remaining > 0) {
        const std::size_t readSize = remaining < kChunkSize ? remaining : kChunkSize;
        const std::size_t got = std::fread(chunk, 1, readSize, fpFile);
        report.fault.got += got;
        if (report.printLines) {
            // One line per 4 KiB chunk: gathered, the pass flushes them at its end.
            QD_LOG_GATHER("md5FileData readsize = %d, iRet = %d\n", static_cast<int>(readSize),
                          static_cast<int>(got));
        }
        if (got < readSize) {
            QDUPK_REPORT_ERR(report, "read file error:%d, readsize = %d\n", static_cast<int>(got),
                             static_cast<int>(readSize));
            return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemData, FaultKind::kShort);
        }
        libqdupk_MD5Update(&context, chunk, static_cast<unsigned int>(readSize));
        remaining -= readSize;
    }
    libqdupk_MD5Final(&context, szMD5);
    return 0;
}

int checkupk(std::FILE* fpFile, const QDUPK_PACKHEAD_T* pPkgHead, Report& report) noexcept {
    if (!SeekTo(fpFile, static_cast<off_t>(kPackHeadSize))) {
        return Fail(report, QDUPKERR_INVALIDPKG, FaultPart::kItemHead, FaultKind::kShort, 0);
    }
    for (std::int32_t i = 0; i < pPkgHead->nItems; ++i) {
        QDUPK_PKTITEM_T item;
        int ret = ReadItemHead(fpFile, i, &item, report);
        if (ret == 0) {
            ret = CheckItemData(fpFile, item, i, report);
        }
        if (ret != 0) {
            return ret;
        }
        ShowItem(item, report.visitor);
    }
    return ReadPackEnd(fpFile, report);
}

int VerifyPackage(std::FILE* fp, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                  Report& report) noexcept {
    int ret = GetPkgHead(fp, pHead, report);
    if (ret != 0) {
        QDUPK_REPORT_ERR(report, "get file head error=%d\n", ret);
        return ret;
    }
    ret = szDevID != nullptr ? CheckDevice(*pHead, szDevID, report) : 0;
    if (ret != 0) {
        return ret;
    }
    ret = checkupk(fp, pHead, report);
    // The pass's gathered trace lines are out before anything else happens.
    qd::LogFlush();
    if (ret != 0) {
        QDUPK_REPORT_ERR(report, "crc packet error=%d\n", ret);
    }
    return ret;
}

int VerifyPackageFile(const char* szFileName, const char* szDevID, QDUPK_PACKHEAD_T* pHead,
                      Report& report) noexcept {
    const qd::FilePtr fp = OpenPackage(szFileName, report);
    if (!fp) {
        return report.fault.code;
    }
    return VerifyPackage(fp.get(), szDevID, pHead, report);
}

}  // namespace qdupk
