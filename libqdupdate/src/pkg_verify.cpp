// Verification pass: nothing is extracted until every item head, every
// digest and the end record have been read and found right.
#include <cstring>

#include "md5enc.h"
#include "pkg_steps.h"
#include "qd_log.h"

namespace qdupk {

int md5FileData(std::FILE* fpFile, std::int32_t size, unsigned char* szMD5) noexcept {
    unsigned char chunk[kChunkSize];
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    std::size_t remaining = static_cast<std::size_t>(size);
    while (remaining > 0) {
        const std::size_t readSize = remaining < kChunkSize ? remaining : kChunkSize;
        const std::size_t got = std::fread(chunk, 1, readSize, fpFile);
        QD_LOG_TRACE("md5FileData readsize = %d, iRet = %d\n", static_cast<int>(readSize),
                     static_cast<int>(got));
        if (got < readSize) {
            QD_LOG_ERR("read file error:%d, readsize = %d\n", static_cast<int>(got),
                       static_cast<int>(readSize));
            return QDUPKERR_INVALIDPKG;
        }
        libqdupk_MD5Update(&context, chunk, static_cast<unsigned int>(readSize));
        remaining -= readSize;
    }
    libqdupk_MD5Final(&context, szMD5);
    return 0;
}

int checkupk(std::FILE* fpFile, const QDUPK_PACKHEAD_T* pPkgHead) noexcept {
    if (!SeekTo(fpFile, static_cast<off_t>(kPackHeadSize))) {
        return QDUPKERR_INVALIDPKG;
    }
    for (std::int32_t i = 0; i < pPkgHead->nItems; ++i) {
        QDUPK_PKTITEM_T item;
        int ret = ReadItemHead(fpFile, i, &item);
        if (ret != 0) {
            return ret;
        }
        unsigned char digest[QDUPK_MD5_SIZE];
        ret = md5FileData(fpFile, item.nDataSize, digest);
        if (ret != 0) {
            return ret;
        }
        if (std::memcmp(digest, item.szDataMd5, sizeof digest) != 0) {
            QD_LOG_ERR("crc data error\n");
            return QDUPKERR_CRCDATA;
        }
    }
    return ReadPackEnd(fpFile);
}

}  // namespace qdupk
