#include "keys.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "qd_hex.h"
#include "qd_owners.h"
#include "seal.h"

namespace qdupk {

namespace {

constexpr std::size_t kKeyHexDigits = 2 * std::size_t{QDUPK_KEY_SIZE};

struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// Wipes a seed copy on every path out of the function that holds it.
struct Wiped {
    std::array<unsigned char, QDUPK_KEY_SIZE> bytes{};
    Wiped() = default;
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

PkeyPtr PrivateKeyOf(const std::array<unsigned char, QDUPK_KEY_SIZE>& seed) {
    PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    if (!key) {
        throw Error("the crypto library cannot make an Ed25519 key");
    }
    return key;
}

// A key file holds 64 hex digits and, as written here, one newline; a
// carriage return from an editor elsewhere is forgiven, anything else is not.
bool ParseKeyText(std::string text, std::array<unsigned char, QDUPK_KEY_SIZE>& out) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    const bool ok = qd::ParseHex(text.data(), text.size(), out.data(), out.size());
    OPENSSL_cleanse(&text[0], text.size());
    return ok;
}

void ReadKeyFile(const std::string& path, const char* what,
                 std::array<unsigned char, QDUPK_KEY_SIZE>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Error("cannot read " + std::string(what) + " file " + path + ": " +
                    std::strerror(errno));
    }
    // Longer than any key file could be: read no further than needed to say so.
    std::string text(kKeyHexDigits + 3, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (!ParseKeyText(std::move(text), out)) {
        throw Error(path + " is not " + what + " file (64 hex digits and a newline)");
    }
}

// Creates path afresh (never through a link, never over a file) and writes
// text whole and durably; on failure removes what it created.
void WriteNewFile(const std::string& path, const std::string& text, mode_t mode) {
    qd::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        throw Error("cannot create " + path + ": " + std::strerror(errno));
    }
    const bool written =
        ::fchmod(fd.get(), mode) == 0 &&
        ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd.get()) == 0;
    const int error = errno;
    if (!written) {
        (void)::unlink(path.c_str());
        throw Error("cannot write " + path + ": " + std::strerror(error));
    }
}

mode_t PublicMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0644 & ~mask);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void RefuseExisting(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        throw Error(path + " already exists; a key file is never replaced");
    }
}

// The seed comes from the crypto library's own generator, seeded by the OS.
void GenerateSeed(std::array<unsigned char, QDUPK_KEY_SIZE>& seed) {
    const PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        throw Error("the crypto library cannot generate an Ed25519 key");
    }
    const PkeyPtr key(raw);
    std::size_t size = seed.size();
    if (EVP_PKEY_get_raw_private_key(key.get(), seed.data(), &size) != 1 || size != seed.size()) {
        throw Error("the crypto library cannot export the new key");
    }
}

void WriteSecretFile(const std::string& path,
                     const std::array<unsigned char, QDUPK_KEY_SIZE>& seed) {
    std::string secret = qd::HexString(seed) + "\n";
    try {
        WriteNewFile(path, secret, 0600);
    } catch (...) {
        OPENSSL_cleanse(&secret[0], secret.size());
        throw;
    }
    OPENSSL_cleanse(&secret[0], secret.size());
}

// A pair is written only when cameras can use it: its public key passes the
// camera's own check and verifies what its seed signs.
void CheckNewKey(const SigningKey& signer) {
    static const unsigned char kProbe[] = "qdupk keygen self-check";
    const Signature signature = signer.Sign(kProbe, sizeof kProbe);
    if (!qdpkg::StrictPointEncoding(signer.publicKey().data()) ||
        !qdpkg::Ed25519Verify(signer.publicKey().data(), kProbe, sizeof kProbe, signature.data())) {
        throw Error("the new key failed its self-check; nothing was written");
    }
}

}  // namespace

SigningKey::SigningKey(const std::array<unsigned char, 32>& seed) : seed_(seed) {
    const PkeyPtr key = PrivateKeyOf(seed_);
    std::size_t size = public_.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), public_.data(), &size) != 1 ||
        size != public_.size()) {
        OPENSSL_cleanse(seed_.data(), seed_.size());
        throw Error("the crypto library cannot derive the public key");
    }
}

SigningKey::~SigningKey() {
    OPENSSL_cleanse(seed_.data(), seed_.size());
}

KeyId SigningKey::keyId() const noexcept {
    return KeyIdOf(public_);
}

Signature SigningKey::Sign(const unsigned char* message, std::size_t size) const {
    const PkeyPtr key = PrivateKeyOf(seed_);
    const MdCtxPtr ctx(EVP_MD_CTX_new());
    Signature signature{};
    std::size_t length = signature.size();
    // Ed25519 is used pure: no separate digest, the message goes in whole.
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, message, size) != 1 ||
        length != signature.size()) {
        throw Error("the crypto library cannot sign");
    }
    return signature;
}

KeyId KeyIdOf(const PublicKey& key) {
    KeyId id{};
    qdpkg::KeyIdOf(key.data(), id.data());
    return id;
}

SigningKey ReadPrivateKey(const std::string& path) {
    // Both files hold 64 hex digits, so a public key given by mistake would
    // read as a seed and sign with a key no camera holds.
    if (EndsWith(path, ".pub")) {
        throw Error(path + " is a public key; sign with the private NAME.key");
    }
    Wiped seed;
    ReadKeyFile(path, "a private key", seed.bytes);
    return SigningKey(seed.bytes);
}

PublicKey ReadPublicKey(const std::string& path) {
    // A secret handed around where public keys go is on its way to leaking.
    if (EndsWith(path, ".key")) {
        throw Error(path + " is a private key; give the public NAME.pub");
    }
    PublicKey key{};
    ReadKeyFile(path, "a public key", key);
    // Such a key (all zeros is an obvious placeholder) would take seals that
    // anyone can make.
    if (!qdpkg::StrictPointEncoding(key.data())) {
        throw Error(path + " is no usable public key: a point of small order or not in " +
                    "canonical form, which would take seals anyone can forge");
    }
    return key;
}

KeyFiles GenerateKeyFiles(const std::string& name) {
    KeyFiles files{name + ".key", name + ".pub", {}};
    RefuseExisting(files.privatePath);
    RefuseExisting(files.publicPath);
    Wiped seed;
    GenerateSeed(seed.bytes);
    const SigningKey signer(seed.bytes);
    CheckNewKey(signer);
    WriteSecretFile(files.privatePath, seed.bytes);
    try {
        WriteNewFile(files.publicPath, qd::HexString(signer.publicKey()) + "\n", PublicMode());
    } catch (...) {
        (void)::unlink(files.privatePath.c_str());
        throw;
    }
    files.keyId = signer.keyId();
    return files;
}

}  // namespace qdupk
