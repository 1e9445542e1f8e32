// Ed25519 key files of the seal: the private seed and the public key, each
// as 64 hex digits and a newline, and the two things done with them here
// (generating a pair, signing). The camera only ever holds public keys.
#ifndef QDUPK_TOOL_KEYS_H
#define QDUPK_TOOL_KEYS_H

#include <array>
#include <cstddef>
#include <string>

#include "errors.h"
#include "libqdupdate.h"

namespace qdupk {

using PublicKey = std::array<unsigned char, QDUPK_KEY_SIZE>;
using KeyId = std::array<unsigned char, QDUPK_KEYID_SIZE>;
using Signature = std::array<unsigned char, 64>;

// A private seed with its public key. The seed is wiped when the object
// goes, so it lingers in memory no longer than the command that signs.
class SigningKey {
  public:
    // An Ed25519 private seed is as long as its public key.
    explicit SigningKey(const std::array<unsigned char, QDUPK_KEY_SIZE>& seed);  // Throws Error
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    const PublicKey& publicKey() const noexcept { return public_; }
    KeyId keyId() const noexcept;
    // Throws Error when the library cannot sign.
    Signature Sign(const unsigned char* message, std::size_t size) const;

  private:
    std::array<unsigned char, QDUPK_KEY_SIZE> seed_{};
    PublicKey public_{};
};

// The first 8 bytes of the public key's SHA-256, as the seal names its signer.
KeyId KeyIdOf(const PublicKey& key);

// Read a key file; throw Error naming the file when it is missing or is
// not 64 hex digits (and an optional newline), and for a public key that
// cannot verify seals (StrictPointEncoding).
SigningKey ReadPrivateKey(const std::string& path);
PublicKey ReadPublicKey(const std::string& path);

struct KeyFiles {
    std::string privatePath;  // NAME.key
    std::string publicPath;   // NAME.pub
    KeyId keyId{};
};

// Creates NAME.key (mode 0600) and NAME.pub from a fresh random seed. Never
// replaces or follows an existing file: either both files are written
// whole, or neither is left behind. Throws Error.
KeyFiles GenerateKeyFiles(const std::string& name);

}  // namespace qdupk

#endif  // QDUPK_TOOL_KEYS_H
