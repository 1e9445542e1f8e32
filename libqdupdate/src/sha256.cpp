// Streaming SHA-256 over OpenSSL's EVP interface, which uses the
// processor's hash instructions where it has them. Every SHA-256 of the
// system, the library's own included, goes through these four functions.
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

#include "libqdupdate.h"

// Allocated with malloc, not new: the library carries no C++ runtime, so a
// plain C program links it with the C compiler alone.
struct QDUPK_SHA256_CTX {
    EVP_MD_CTX* running;
    bool failed;
};

namespace {

struct EvpFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// Finishing EVP's context would end the message; a copy of it is finished
// instead, so the caller may go on appending.
bool DigestSoFar(const EVP_MD_CTX* running, unsigned char* digest) noexcept {
    const std::unique_ptr<EVP_MD_CTX, EvpFree> copy(EVP_MD_CTX_new());
    unsigned int length = 0;
    return copy && EVP_MD_CTX_copy_ex(copy.get(), running) == 1 &&
           EVP_DigestFinal_ex(copy.get(), digest, &length) == 1 && length == QDUPK_SHA256_SIZE;
}

}  // namespace

QD_API QDUPK_SHA256_CTX* libqdupk_sha256_create(void) noexcept {
    auto* ctx = static_cast<QDUPK_SHA256_CTX*>(std::calloc(1, sizeof(QDUPK_SHA256_CTX)));
    if (ctx == nullptr) {
        return nullptr;
    }
    ctx->running = EVP_MD_CTX_new();
    if (ctx->running == nullptr || EVP_DigestInit_ex(ctx->running, EVP_sha256(), nullptr) != 1) {
        libqdupk_sha256_free(ctx);
        return nullptr;
    }
    return ctx;
}

QD_API int libqdupk_sha256_update(QDUPK_SHA256_CTX* pCtx, const void* pData, size_t nLen) noexcept {
    if (pCtx == nullptr || (pData == nullptr && nLen > 0)) {
        return QDUPKERR_OPENFILE;
    }
    if (!pCtx->failed && nLen > 0) {
        pCtx->failed = EVP_DigestUpdate(pCtx->running, pData, nLen) != 1;
    }
    return pCtx->failed ? QDUPKERR_CRCDATA : 0;
}

QD_API int libqdupk_sha256_final(QDUPK_SHA256_CTX* pCtx, unsigned char* pDigest) noexcept {
    if (pCtx == nullptr || pDigest == nullptr) {
        return QDUPKERR_OPENFILE;
    }
    pCtx->failed = pCtx->failed || !DigestSoFar(pCtx->running, pDigest);
    return pCtx->failed ? QDUPKERR_CRCDATA : 0;
}

QD_API void libqdupk_sha256_free(QDUPK_SHA256_CTX* pCtx) noexcept {
    if (pCtx != nullptr) {
        EVP_MD_CTX_free(pCtx->running);
        std::free(pCtx);
    }
}
