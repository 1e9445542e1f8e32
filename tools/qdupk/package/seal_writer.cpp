#include "seal_writer.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "atomic_file.h"
#include "package_writer.h"
#include "pkg_reader.h"
#include "qd_owners.h"
#include "seal.h"

namespace qdupk {

namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;

// Re-sealing keeps a package's permissions; a new output gets a new file's.
mode_t OutputMode(const std::string& output) {
    struct stat info {};
    return ::stat(output.c_str(), &info) == 0 ? static_cast<mode_t>(info.st_mode & 07777) : 0;
}

// The records only: the package was verified whole just before.
std::uint64_t PackageEnd(std::FILE* in, const std::string& input, std::uint64_t& fileSize) {
    qdpkg::Report report;
    report.printLines = false;
    report.itemDigests = false;
    qdpkg::PackageIndex index;
    if (qdpkg::IndexPackage(in, nullptr, qdpkg::SealDigest::kSkip, &index, report) != 0 ||
        fseeko(in, 0, SEEK_SET) != 0) {
        throw Error("cannot find the end record of " + input);
    }
    fileSize = index.fileSize;
    return index.endOffset;
}

// Copies bytes [0, end) and appends their seal.
void CopySealed(std::FILE* in, std::uint64_t end, const std::string& outPath,
                const SealOpts& opts) {
    const qd::FilePtr out(std::fopen(outPath.c_str(), "wb"));
    if (!out) {
        throw Error("cannot write " + outPath + ": " + std::strerror(errno));
    }
    qdpkg::Sha256 hash;
    std::vector<unsigned char> chunk(kChunk);
    for (std::uint64_t left = end; left > 0;) {
        const std::size_t want = left < chunk.size() ? static_cast<std::size_t>(left) : kChunk;
        if (std::fread(chunk.data(), 1, want, in) != want) {
            throw Error("the package changed or could not be read while it was sealed");
        }
        hash.Update(chunk.data(), want);
        if (std::fwrite(chunk.data(), 1, want, out.get()) != want) {
            throw Error("cannot write " + outPath + ": " + std::strerror(errno));
        }
        left -= want;
    }
    unsigned char digest[qdpkg::kSha256Size];
    if (!hash.Final(digest)) {
        throw Error("the crypto library cannot compute SHA-256");
    }
    const std::array<unsigned char, QDUPK_SEAL_SIZE> seal = MakeSeal(digest, opts);
    if (std::fwrite(seal.data(), 1, seal.size(), out.get()) != seal.size() ||
        std::fflush(out.get()) != 0) {
        throw Error("cannot write " + outPath + ": " + std::strerror(errno));
    }
}

}  // namespace

std::array<unsigned char, QDUPK_SEAL_SIZE> MakeSeal(const unsigned char* digest,
                                                    const SealOpts& opts) {
    qdpkg::SealRecord record;
    record.counter = opts.counter;
    std::memcpy(record.digest, digest, sizeof record.digest);
    std::array<unsigned char, QDUPK_SEAL_SIZE> bytes{};
    if (opts.key != nullptr) {
        const KeyId id = opts.key->keyId();
        std::memcpy(record.keyId, id.data(), sizeof record.keyId);
        // The signature covers the record's first half: magic, size,
        // algorithm, counter, key id and the digest of the whole package.
        qdpkg::EncodeSeal(record, bytes.data());
        const Signature signature = opts.key->Sign(bytes.data(), qdpkg::kSealSignedPart);
        std::memcpy(record.signature, signature.data(), sizeof record.signature);
    }
    qdpkg::EncodeSeal(record, bytes.data());
    return bytes;
}

void CheckSealedOutput(const std::string& path, const SealOpts& opts) {
    SealPolicy policy;
    if (opts.key != nullptr) {
        policy.keys.push_back(opts.key->publicKey());
    }
    const VerifyResult result = VerifyPackage(path, std::nullopt, policy);
    if (!result.accepted) {
        throw Error("the written package does not verify, so it is not kept: " + result.message);
    }
}

SealedFile SealPackageFile(const std::string& input, const std::string& output,
                           const SigningKey& key, std::optional<std::uint64_t> counter) {
    const VerifyResult checked = VerifyPackage(input, std::nullopt);
    if (checked.unreadable) {
        throw Error(checked.message);
    }
    if (!checked.accepted) {
        throw Error(input +
                    " does not verify, and a damaged package is never sealed: " + checked.message);
    }
    const qd::FilePtr in(std::fopen(input.c_str(), "rb"));
    if (!in) {
        throw Error("cannot read " + input + ": " + std::strerror(errno));
    }
    std::uint64_t size = 0;
    const std::uint64_t end = PackageEnd(in.get(), input, size);
    if (size > end && checked.info.seal.state == SealState::kNone) {
        throw Error(input + " has " + std::to_string(size - end) +
                    " byte(s) after its end record that are not a seal; sealing would drop "
                    "them, so remove them first if they are not needed");
    }
    const SealOpts opts{&key, counter.value_or(checked.info.seal.counter)};
    AtomicFile out(output, OutputMode(output));
    CopySealed(in.get(), end, out.path(), opts);
    CheckSealedOutput(out.path(), opts);
    out.Commit();
    SealedFile sealed{checked.info.seal, {}};
    sealed.after.state = SealState::kSigned;
    sealed.after.counter = opts.counter;
    sealed.after.keyId = key.keyId();
    return sealed;
}

}  // namespace qdupk
