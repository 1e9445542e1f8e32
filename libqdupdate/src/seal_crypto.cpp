// SHA-256 and Ed25519 through OpenSSL's EVP interface: the device never
// carries cryptography of its own making.
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "seal.h"

namespace qdupk {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CtxPtr = std::unique_ptr<EVP_MD_CTX, CtxFree>;

}  // namespace

void Sha256::Free::operator()(evp_md_ctx_st* ctx) const noexcept {
    EVP_MD_CTX_free(ctx);
}

Sha256::Sha256() noexcept : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::Update(const void* data, std::size_t size) noexcept {
    if (ok_ && size > 0) {
        ok_ = EVP_DigestUpdate(ctx_.get(), data, size) == 1;
    }
}

bool Sha256::Final(unsigned char* out) noexcept {
    unsigned int length = 0;
    const bool done =
        ok_ && EVP_DigestFinal_ex(ctx_.get(), out, &length) == 1 && length == kSha256Size;
    ok_ = false;  // EVP needs a fresh init before the context digests again
    return done;
}

bool Sha256Of(const void* data, std::size_t size, unsigned char* out) noexcept {
    unsigned int length = 0;
    return EVP_Digest(data, size, out, &length, EVP_sha256(), nullptr) == 1 &&
           length == kSha256Size;
}

// Should hashing fail, the id stays all zero, which no signed seal may
// carry, so it can never match one.
void KeyIdOf(const unsigned char* publicKey, unsigned char* keyId) noexcept {
    unsigned char digest[kSha256Size]{};
    if (!Sha256Of(publicKey, kEd25519KeySize, digest)) {
        std::memset(digest, 0, sizeof digest);
    }
    std::memcpy(keyId, digest, kKeyIdSize);
}

bool Ed25519Verify(const unsigned char* publicKey, const unsigned char* message, std::size_t size,
                   const unsigned char* signature) noexcept {
    const PkeyPtr key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, kEd25519KeySize));
    const CtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), signature, kEd25519SignatureSize, message, size) == 1;
}

}  // namespace qdupk
