// The read operations: one value per call, the file read from the top.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "etc_internal.h"
#include "etcfile.h"
#include "qd_owners.h"

namespace etcfile {

// Descriptors of the library never pass into programs the caller starts.
qd::FilePtr etc_OpenForReading(const char* path) noexcept {
    qd::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return nullptr;
    }
    qd::FilePtr fp(::fdopen(fd.get(), "r"));
    if (fp) {
        static_cast<void>(fd.release());  // the stream owns it now
    }
    return fp;
}

namespace {

constexpr int kIntTextChars = 50;

// Values often come from files edited elsewhere: one trailing CR, newline,
// tab, backspace or blank is taken off, never more.
void TrimOneTrailing(char* text) noexcept {
    const std::size_t n = std::strlen(text);
    if (n == 0) {
        return;
    }
    switch (text[n - 1]) {
        case '\r':
        case '\n':
        case '\t':
        case '\b':
        case ' ':
            text[n - 1] = '\0';
            break;
        default:
            break;
    }
}

int GetValue(const char* pEtcFile, const char* pSection, const char* pKey, char* pValue,
             int iLen) noexcept {
    if (pEtcFile == nullptr || pKey == nullptr || pValue == nullptr) {
        return kEtcNoFile;
    }
    const qd::FilePtr fp = etc_OpenForReading(pEtcFile);
    if (!fp) {
        return kEtcNoFile;
    }
    if (pSection != nullptr && etc_LocateSection(fp.get(), pSection, nullptr) != kEtcOk) {
        return kEtcNoSection;
    }
    if (etc_LocateKeyValue(fp.get(), pKey, pValue, iLen, nullptr) != kEtcOk) {
        return kEtcNoKey;
    }
    pValue[iLen > 0 ? iLen : 0] = '\0';
    TrimOneTrailing(pValue);
    return kEtcOk;
}

int GetIntValue(const char* pEtcFile, const char* pSection, const char* pKey, int* value) noexcept {
    if (value == nullptr) {
        return kEtcNoFile;
    }
    char text[kIntTextChars + 1];
    const int rc = GetValue(pEtcFile, pSection, pKey, text, kIntTextChars);
    if (rc != kEtcOk) {
        return rc;
    }
    // strtol saturates and the low 32 bits are kept: "4294967295" gives -1.
    const long number = std::strtol(text, nullptr, 0);
    *value = static_cast<int>(static_cast<std::uint32_t>(number));
    return kEtcOk;
}

}  // namespace

}  // namespace etcfile

int EtcGetValueFile(const char* pEtcFile, const char* pSection, const char* pKey, char* pValue,
                    int iLen) noexcept {
    return etcfile::GetValue(pEtcFile, pSection, pKey, pValue, iLen);
}

int EtcGetIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                       int* value) noexcept {
    return etcfile::GetIntValue(pEtcFile, pSection, pKey, value);
}
