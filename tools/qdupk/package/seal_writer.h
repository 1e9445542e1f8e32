// Writes seals: the 128-byte trailer behind a package's end record that
// covers every byte before it with SHA-256 and, given a key, an Ed25519
// signature, so a camera holding the public key installs nothing else.
#ifndef QDUPK_TOOL_SEAL_WRITER_H
#define QDUPK_TOOL_SEAL_WRITER_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "keys.h"
#include "package_reader.h"

namespace qdupk {

struct SealOpts {
    const SigningKey* key = nullptr;  // an unsigned seal when null
    std::uint64_t counter = 0;
};

// The seal of a package whose bytes up to the end of its end record have
// this SHA-256 (32 bytes). Throws Error when signing fails.
std::array<unsigned char, QDUPK_SEAL_SIZE> MakeSeal(const unsigned char* digest,
                                                    const SealOpts& opts);

// Checks a freshly written package as a camera holding the signer's key
// would, before it replaces anything: a source that changed while it was
// read, or a signature that does not verify, must never reach a camera
// under a good seal. Throws Error naming the fault.
void CheckSealedOutput(const std::string& path, const SealOpts& opts);

struct SealedFile {
    SealInfo before;  // the seal the input had
    SealInfo after;
};

// Seals (or re-seals) the package at input into output, which may be the
// same path; the output appears whole or not at all. Only a package that
// passes verification (records, digests, any seal it has) is sealed, and
// bytes behind the end record that are not a seal are refused rather than
// dropped. Without a counter, the input's seal keeps its own. Throws
// Error.
SealedFile SealPackageFile(const std::string& input, const std::string& output,
                           const SigningKey& key, std::optional<std::uint64_t> counter);

}  // namespace qdupk

#endif  // QDUPK_TOOL_SEAL_WRITER_H
