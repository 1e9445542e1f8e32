// Exported interface of the package library: thin wrappers over the steps.
#include <cstring>
#include <initializer_list>

#include "libqdupdate.h"
#include "pkg_steps.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"

namespace {

constexpr int kLibraryVersion = 10;
// A package for this device kind is accepted by every device.
constexpr char kAnyDevice[] = "QUNDAR";

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

// Close-on-exec: install callbacks run scripts and flash tools, and a
// script that leaves a process behind would keep the package allocated.
qd::FilePtr OpenPackage(const char* szFileName) noexcept {
    qd::FilePtr fp(std::fopen(szFileName, "rbe"));
    if (!fp) {
        QD_LOG_ERR("open file[%s] failed\n", szFileName);
    }
    return fp;
}

int QueryHead(const char* szFileName, char* szPkgName, char* szPkgVersion, char* szDevID) noexcept {
    if (!ArgumentsGiven({szFileName, szPkgName, szPkgVersion, szDevID})) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    qd::FilePtr fp = OpenPackage(szFileName);
    if (!fp) {
        return QDUPKERR_OPENFILE;
    }
    QDUPK_PACKHEAD_T head;
    const int ret = qdupk::GetPkgHead(fp.get(), &head);
    fp.reset();
    if (ret != 0) {
        QD_LOG_ERR("get file head error=%d\n", ret);
        return ret;
    }
    // Decoded head texts end within their 128 bytes, so none of these cuts.
    static_cast<void>(qd::CopyText(szPkgName, QDUPK_TEXT_SIZE, head.szPktName));
    static_cast<void>(qd::CopyText(szPkgVersion, QDUPK_TEXT_SIZE, head.szPktVersion));
    static_cast<void>(qd::CopyText(szDevID, QDUPK_TEXT_SIZE, head.szDevID));
    return 0;
}

int CheckDevice(const QDUPK_PACKHEAD_T& head, const char* szDevID) noexcept {
    if (std::strcmp(head.szDevID, kAnyDevice) == 0) {
        QD_LOG_TRACE("QUNDAR any update packet\n");
        return 0;
    }
    if (std::strcmp(head.szDevID, szDevID) != 0) {
        QD_LOG_ERR("device id error[%s]\n", head.szDevID);
        return QDUPKERR_DEVID;
    }
    return 0;
}

// Head, device and the whole verification pass; nothing is written yet.
int VerifyPackage(std::FILE* fp, const char* szDevID, QDUPK_PACKHEAD_T* pHead) noexcept {
    int ret = qdupk::GetPkgHead(fp, pHead);
    if (ret != 0) {
        QD_LOG_ERR("get file head error=%d\n", ret);
        return ret;
    }
    ret = CheckDevice(*pHead, szDevID);
    if (ret != 0) {
        return ret;
    }
    ret = qdupk::checkupk(fp, pHead);
    if (ret != 0) {
        QD_LOG_ERR("crc packet error=%d\n", ret);
    }
    return ret;
}

int RunUpdate(const char* szFileName, const char* szDevID, const char* szTempDir,
              QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept {
    if (!ArgumentsGiven({szFileName, szDevID, szTempDir}) || fdCallback == nullptr) {
        QD_LOG_ERR("invalid argument\n");
        return QDUPKERR_OPENFILE;
    }
    qd::FilePtr fp = OpenPackage(szFileName);
    if (!fp) {
        return QDUPKERR_OPENFILE;
    }
    QDUPK_PACKHEAD_T head;
    int ret = VerifyPackage(fp.get(), szDevID, &head);
    if (ret != 0) {
        return ret;
    }
    ret = qdupk::CopyItem(fp.get(), head.nItems, szTempDir, fdCallback, fdCheckCb);
    fp.reset();
    if (ret != 0) {
        QD_LOG_ERR("CopyItem error:%d\n", ret);
    }
    return ret;
}

}  // namespace

extern "C" {

QDUPK_API int libqdupk_version(void) noexcept {
    return kLibraryVersion;
}

QDUPK_API int libqdupk_pkgversion(const char* szFileName, char* szPkgName, char* szPkgVersion,
                                  char* szDevID) noexcept {
    return QueryHead(szFileName, szPkgName, szPkgVersion, szDevID);
}

QDUPK_API int libqdupk_update(const char* szFileName, const char* szDevID, const char* szTempDir,
                              QDUPK_UPDATECB fdCallback) noexcept {
    return RunUpdate(szFileName, szDevID, szTempDir, fdCallback, nullptr);
}

QDUPK_API int libqdupk_updatecheck(const char* szFileName, const char* szDevID,
                                   const char* szTempDir, QDUPK_UPDATECB fdCallback,
                                   QDUPK_CKECKCB fdCheckCb) noexcept {
    return RunUpdate(szFileName, szDevID, szTempDir, fdCallback, fdCheckCb);
}

}  // extern "C"
