// Exported interface of the package library: thin wrappers over the steps.
#include <initializer_list>

#include "libqdupdate.h"
#include "pkg_steps.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "seal.h"

namespace {

constexpr int kLibraryVersion = 10;

// A null pointer from a C caller is refused like a package that cannot be
// opened, before anything is read.
bool ArgumentsGiven(std::initializer_list<const void*> pointers) noexcept {
    for (const void* p : pointers) {
        if (p == nullptr) {
            return false;
        }
    }
    return true;
}

int QueryHead(const char* szFileName, char* szPkgName, char* szPkgVersion, char* szDevID) noexcept {
    if (!ArgumentsGiven({szFileName, szPkgName, szPkgVersion, szDevID})) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    qdpkg::Report report;
    qd::FilePtr fp = qdpkg::OpenPackage(szFileName, report);
    QDUPK_PACKHEAD_T head{};
    const int ret = fp ? qdpkg::GetPkgHead(fp.get(), &head, report) : report.fault.code;
    fp.reset();
    if (ret != 0) {
        qdpkg::LogWalkRefusal(QDUPK_HERE, report.fault, szFileName, head, true);
        return ret;
    }
    // Decoded head texts end within their 128 bytes, so none of these cuts.
    static_cast<void>(qd::CopyText(szPkgName, QDUPK_TEXT_SIZE, head.szPktName));
    static_cast<void>(qd::CopyText(szPkgVersion, QDUPK_TEXT_SIZE, head.szPktVersion));
    static_cast<void>(qd::CopyText(szDevID, QDUPK_TEXT_SIZE, head.szDevID));
    return 0;
}

int RunUpdate(const char* szFileName, const char* szDevID, const char* szTempDir,
              QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept {
    if (!ArgumentsGiven({szFileName, szDevID, szTempDir}) || fdCallback == nullptr) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    qdpkg::Report report;
    qd::FilePtr fp = qdpkg::OpenPackage(szFileName, report);
    qdpkg::PackageIndex index;
    int ret = fp ? qdpkg::IndexPackage(fp.get(), szDevID, qdpkg::SealDigest::kSkip, &index, report)
                 : report.fault.code;
    if (ret != 0) {
        qdpkg::LogWalkRefusal(QDUPK_HERE, report.fault, szFileName, index.head, true);
        return ret;
    }
    ret = qdpkg::ReadyToExtract(index, szTempDir, report);
    if (ret != 0) {
        qdpkg::LogRoomRefusal(QDUPK_HERE, report.fault, szTempDir);
    } else {
        ret = qdpkg::ExtractItems(fp.get(), index, szTempDir, fdCallback, fdCheckCb);
    }
    fp.reset();
    if (ret != 0) {
        QD_LOG_ERR("CopyItem error:%d\n", ret);
    }
    return ret;
}

// Bad arguments are refused, never read as "no keys": a caller that meant
// to require a signature must not get an unsigned package accepted.
int RunSealCheck(const char* szFileName, const qdpkg::SealCheck& check,
                 QDUPK_SEALINFO_T* pInfo) noexcept {
    QDUPK_SEALINFO_T ignored;
    QDUPK_SEALINFO_T* info = pInfo != nullptr ? pInfo : &ignored;
    *info = QDUPK_SEALINFO_T{QDUPK_SEAL_NONE, 0, {}, -1};
    if (szFileName == nullptr || check.nKeys < 0 || (check.nKeys > 0 && check.keys == nullptr)) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    qdpkg::Report report;
    report.itemDigests = false;
    const qd::FilePtr fp = qdpkg::OpenPackage(szFileName, report);
    qdpkg::PackageIndex index;
    int ret = fp ? qdpkg::IndexPackage(fp.get(), nullptr, qdpkg::DigestFor(check), &index, report)
                 : report.fault.code;
    if (ret != 0) {
        qdpkg::LogWalkRefusal(QDUPK_HERE, report.fault, szFileName, index.head, false);
        return ret;
    }
    ret = qdpkg::JudgeSeal(index, check, info, report);
    if (ret != 0) {
        qdpkg::LogSealRefusal(QDUPK_HERE, report.fault, *info);
    }
    return ret;
}

}  // namespace

extern "C" {

QD_API int libqdupk_version(void) noexcept {
    return kLibraryVersion;
}

QD_API int libqdupk_pkgversion(const char* szFileName, char* szPkgName, char* szPkgVersion,
                               char* szDevID) noexcept {
    return QueryHead(szFileName, szPkgName, szPkgVersion, szDevID);
}

QD_API int libqdupk_update(const char* szFileName, const char* szDevID, const char* szTempDir,
                           QDUPK_UPDATECB fdCallback) noexcept {
    return RunUpdate(szFileName, szDevID, szTempDir, fdCallback, nullptr);
}

QD_API int libqdupk_updatecheck(const char* szFileName, const char* szDevID, const char* szTempDir,
                                QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept {
    return RunUpdate(szFileName, szDevID, szTempDir, fdCallback, fdCheckCb);
}

QD_API int libqdupk_checkseal(const char* szFileName, const unsigned char* pKeys, int nKeys,
                              uint64_t nMinCounter, QDUPK_SEALINFO_T* pInfo) noexcept {
    return RunSealCheck(szFileName, {nullptr, pKeys, nKeys, nMinCounter}, pInfo);
}

QD_API int libqdupk_checkseal_digest(const char* szFileName, const unsigned char* pPrefixSha256,
                                     const unsigned char* pKeys, int nKeys, uint64_t nMinCounter,
                                     QDUPK_SEALINFO_T* pInfo) noexcept {
    if (pPrefixSha256 == nullptr) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    return RunSealCheck(szFileName, {pPrefixSha256, pKeys, nKeys, nMinCounter}, pInfo);
}

QD_API int libqdupk_checkkey(const unsigned char* pKey, unsigned char* pKeyId) noexcept {
    if (pKey == nullptr) {
        return QDUPKERR_OPENFILE;
    }
    if (pKeyId != nullptr) {
        qdpkg::KeyIdOf(pKey, pKeyId);
    }
    return qdpkg::StrictPointEncoding(pKey) ? 0 : QDUPKERR_WEAKKEY;
}

}  // extern "C"
