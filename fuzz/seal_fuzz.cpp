// The seal reader on arbitrary file bytes, checked through both C entry
// points and against itself under stricter settings:
//  - the variant that is handed the receive loop's digest agrees with the
//    one that reads the file, code and findings alike;
//  - what passes with keys passes without them, and a minimum one above
//    its counter turns a pass into a rollback and nothing else;
//  - a pass on a sealed package means the seal is the file's last 128
//    bytes and its digest covers exactly the bytes before them;
//  - the findings never claim more than was found.
//  - the second key, all 0xff bytes, is not a canonical point: it never
//    verifies anything.
// The keys are RFC 8032's first test key (its signatures can be made for
// seeds) and that one.
#include <cstdint>
#include <cstring>
#include <string>

#include "libqdupdate.h"
#include "sandbox.h"
#include "scratch.h"
#include "seal.h"

namespace {

constexpr std::size_t kKeySize = 32;
constexpr unsigned char kKeys[2 * kKeySize] = {
    0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
    0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

qdfuzz::Scratch* g_scratch = nullptr;
qdfuzz::FencePolicy g_policy;

struct Outcome {
    int rc = 0;
    QDUPK_SEALINFO_T info{};
};

Outcome Check(const std::string& path, const unsigned char* digest, int nKeys,
              std::uint64_t minCounter) {
    Outcome out;
    std::memset(&out.info, 0x5A, sizeof out.info);
    const unsigned char* keys = nKeys > 0 ? kKeys : nullptr;
    out.rc =
        digest == nullptr
            ? libqdupk_checkseal(path.c_str(), keys, nKeys, minCounter, &out.info)
            : libqdupk_checkseal_digest(path.c_str(), digest, keys, nKeys, minCounter, &out.info);
    return out;
}

bool Same(const Outcome& a, const Outcome& b) {
    return a.rc == b.rc && a.info.emState == b.info.emState && a.info.nCounter == b.info.nCounter &&
           a.info.nKeyIndex == b.info.nKeyIndex &&
           std::memcmp(a.info.byKeyId, b.info.byKeyId, sizeof a.info.byKeyId) == 0;
}

bool AllZero(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

void CheckFindings(const Outcome& o, bool keysGiven) {
    const QDUPK_SEALINFO_T& info = o.info;
    if (info.emState != QDUPK_SEAL_NONE && info.emState != QDUPK_SEAL_UNSIGNED &&
        info.emState != QDUPK_SEAL_SIGNED) {
        qdfuzz::Fail("seal state out of range", std::to_string(info.emState));
    }
    if (info.emState == QDUPK_SEAL_NONE && info.nCounter != 0) {
        qdfuzz::Fail("counter without a seal", std::to_string(info.nCounter));
    }
    if (info.emState != QDUPK_SEAL_SIGNED && !AllZero(info.byKeyId, sizeof info.byKeyId)) {
        qdfuzz::Fail("key id without a signature", "");
    }
    const bool verified = info.nKeyIndex >= 0;
    if (info.nKeyIndex < -1 || info.nKeyIndex > 1 ||
        (verified && (!keysGiven || info.emState != QDUPK_SEAL_SIGNED))) {
        qdfuzz::Fail("key index without a verified signature", std::to_string(info.nKeyIndex));
    }
    if (o.rc == 0 && keysGiven && !verified) {
        qdfuzz::Fail("passed with keys but no key verified it", "");
    }
    if (info.nKeyIndex == 1) {
        qdfuzz::Fail("a non-canonical key verified a seal", "");
    }
    if (o.rc > 0 || o.rc < QDUPKERR_WEAKKEY || o.rc == -1) {
        qdfuzz::Fail("result out of range", std::to_string(o.rc));
    }
}

// A pass on a sealed file: the seal is its tail and covers all before it.
void CheckSealCoversFile(const Outcome& o, const std::uint8_t* data, std::size_t size) {
    if (o.rc != 0 || o.info.emState == QDUPK_SEAL_NONE) {
        return;
    }
    if (size < qdpkg::kSealSize || !qdpkg::HasSealMagic(data + size - qdpkg::kSealSize, 8)) {
        qdfuzz::Fail("sealed package passed without a seal at its end", "");
    }
    qdpkg::SealRecord seal;
    qdpkg::DecodeSeal(data + size - qdpkg::kSealSize, &seal);
    unsigned char digest[qdpkg::kSha256Size];
    if (!qdpkg::Sha256Of(data, size - qdpkg::kSealSize, digest) ||
        std::memcmp(digest, seal.digest, sizeof digest) != 0 || seal.counter != o.info.nCounter) {
        qdfuzz::Fail("passed seal does not cover the file", "");
    }
}

void CheckStricterSettings(const std::string& path, const Outcome& open, const Outcome& keyed) {
    if (keyed.rc == 0 && open.rc != 0) {
        qdfuzz::Fail("passes with keys but not without", std::to_string(open.rc));
    }
    if (open.rc == 0 && open.info.nCounter < UINT64_MAX) {
        const Outcome higher = Check(path, nullptr, 0, open.info.nCounter + 1);
        if (higher.rc != QDUPKERR_ROLLBACK) {
            qdfuzz::Fail("a higher minimum is not a rollback", std::to_string(higher.rc));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    qdfuzz::QuietStdout();
    g_scratch = new qdfuzz::Scratch("seal");
    g_policy.scratchDir = g_scratch->dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = g_scratch->file("input.upk");
    qdfuzz::WriteWholeFile(path, data, size);
    unsigned char prefix[qdpkg::kSha256Size];
    const std::size_t prefixSize = size >= qdpkg::kSealSize ? size - qdpkg::kSealSize : 0;
    if (!qdpkg::Sha256Of(data, prefixSize, prefix)) {
        qdfuzz::Fail("SHA-256 failed", "");
    }
    {
        const qdfuzz::Confinement fence(g_policy);
        const Outcome open = Check(path, nullptr, 0, 0);
        const Outcome keyed = Check(path, nullptr, 2, 0);
        if (!Same(open, Check(path, prefix, 0, 0)) || !Same(keyed, Check(path, prefix, 2, 0))) {
            qdfuzz::Fail("the two entry points disagree", std::to_string(open.rc));
        }
        CheckFindings(open, false);
        CheckFindings(keyed, true);
        CheckSealCoversFile(open, data, size);
        CheckStricterSettings(path, open, keyed);
    }
    g_scratch->Wipe();
    return 0;
}
