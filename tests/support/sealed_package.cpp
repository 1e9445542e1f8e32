#include "sealed_package.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "seal.h"

namespace qdtest {

namespace {

struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct KeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};

EVP_PKEY* GenerateEd25519() {
    const std::unique_ptr<EVP_PKEY_CTX, KeyCtxFree> ctx(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        throw std::runtime_error("cannot generate an Ed25519 test key");
    }
    return key;
}

}  // namespace

TestSigningKey::TestSigningKey() : key_(GenerateEd25519()), public_(qdpkg::kEd25519KeySize, '\0') {
    std::size_t size = public_.size();
    if (EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(public_.data()),
                                    &size) != 1 ||
        size != qdpkg::kEd25519KeySize) {
        EVP_PKEY_free(key_);
        throw std::runtime_error("cannot read the test key's public half");
    }
}

TestSigningKey::~TestSigningKey() {
    EVP_PKEY_free(key_);
}

std::string TestSigningKey::PublicHex() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : public_) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::string TestSigningKey::Sign(const std::string& message) const {
    const std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    std::string signature(qdpkg::kEd25519SignatureSize, '\0');
    std::size_t size = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        size != signature.size()) {
        throw std::runtime_error("cannot sign with the test key");
    }
    return signature;
}

namespace {

qdpkg::SealRecord SealOf(const std::string& package, std::uint64_t counter) {
    qdpkg::SealRecord record;
    record.counter = counter;
    if (!qdpkg::Sha256Of(package.data(), package.size(), record.digest)) {
        throw std::runtime_error("cannot hash the package");
    }
    return record;
}

void SetSigner(const std::string& publicKey, qdpkg::SealRecord& record) {
    qdpkg::KeyIdOf(reinterpret_cast<const unsigned char*>(publicKey.data()), record.keyId);
}

std::string Appended(const std::string& package, const qdpkg::SealRecord& record) {
    unsigned char bytes[qdpkg::kSealSize];
    qdpkg::EncodeSeal(record, bytes);
    return package + std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

}  // namespace

std::string Sealed(const std::string& package, std::uint64_t counter, const TestSigningKey* key) {
    qdpkg::SealRecord record = SealOf(package, counter);
    if (key != nullptr) {
        SetSigner(key->PublicKey(), record);
        unsigned char bytes[qdpkg::kSealSize];
        qdpkg::EncodeSeal(record, bytes);
        const std::string signature =
            key->Sign(std::string(reinterpret_cast<char*>(bytes), qdpkg::kSealSignedPart));
        signature.copy(reinterpret_cast<char*>(record.signature), signature.size());
    }
    return Appended(package, record);
}

std::string SealedAs(const std::string& package, std::uint64_t counter,
                     const std::string& publicKey, const std::string& signature) {
    qdpkg::SealRecord record = SealOf(package, counter);
    SetSigner(publicKey, record);
    signature.copy(reinterpret_cast<char*>(record.signature), sizeof record.signature);
    return Appended(package, record);
}

std::string PackageIdentity(const std::string& package, bool sealed) {
    const std::size_t covered = sealed ? package.size() - qdpkg::kSealSize : package.size();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(package.data(), covered, digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    static const char kHex[] = "0123456789abcdef";
    std::string identity;
    for (std::size_t i = 0; i < 8; ++i) {
        identity += kHex[digest[i] >> 4U];
        identity += kHex[digest[i] & 0x0FU];
    }
    return identity;
}

}  // namespace qdtest
