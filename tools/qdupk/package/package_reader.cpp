// The host side of the device library's reader: the library walks and
// verifies the package exactly as the camera will, and this file only turns
// what it found into PackageInfo and into messages for people.
#include "package_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "item_types.h"
#include "libqdupdate.h"
#include "pkg_identity.h"
#include "pkg_reader.h"
#include "qd_hex.h"
#include "qd_owners.h"
#include "seal.h"

namespace qdupk {

namespace {

std::string Hex32(std::int32_t value) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

ItemInfo ToInfo(const QDUPK_PKTITEM_T& item) {
    ItemInfo info;
    info.index = item.nItemIndex;
    info.type = item.nItemType;
    info.rebootFlag = item.bRebootFlag;
    info.size = item.nDataSize;
    info.devId = item.szDevID;
    info.description = item.szDesc;
    info.destination = item.szDstFileName;
    std::memcpy(info.md5.data(), item.szDataMd5, info.md5.size());
    return info;
}

// Keeps each verified item head as the walk passes it.
class ItemCollector final : public qdpkg::ItemVisitor {
  public:
    explicit ItemCollector(std::vector<ItemInfo>* items) : items_(items) {}
    // Out of memory on the host ends the tool here; nothing is half written.
    void OnItem(const QDUPK_PKTITEM_T& item) noexcept override { items_->push_back(ToInfo(item)); }

  private:
    std::vector<ItemInfo>* items_;
};

// A file without the head's mark (or too short to hold one) is something
// else altogether, not a package that was damaged.
bool NoPackageHead(const qdpkg::Fault& f) {
    return f.part == qdpkg::FaultPart::kPackHead &&
           (f.kind == qdpkg::FaultKind::kShort ||
            (f.kind == qdpkg::FaultKind::kFields && f.mark != QDUPK_PACKHEAD_MASK));
}

// A head with its mark: short files and others are NoPackageHead's.
std::string PackHeadFault(const qdpkg::Fault& f) {
    if (f.kind == qdpkg::FaultKind::kUnterminated) {
        return "a text field of the package head has no terminator";
    }
    return "the package head is damaged (mark " + Hex32(f.mark) + ", size " +
           std::to_string(f.size) + ", items " + std::to_string(f.items) + ")";
}

std::string ItemHeadFault(const qdpkg::Fault& f) {
    switch (f.kind) {
        case qdpkg::FaultKind::kShort:
            return "the package ends inside the head of " + ItemLabel(f.item);
        case qdpkg::FaultKind::kUnterminated:
            return "a text field of " + ItemLabel(f.item) + " has no terminator";
        default:
            return "the head of " + ItemLabel(f.item) + " is damaged (mark " + Hex32(f.mark) +
                   ", size " + std::to_string(f.size) + ", index " + std::to_string(f.index) +
                   ", data size " + std::to_string(f.dataSize) + ")";
    }
}

std::string ItemDataFault(const qdpkg::Fault& f) {
    if (f.kind == qdpkg::FaultKind::kDigest) {
        return "the data of " + ItemLabel(f.item) + " does not match its MD5 digest";
    }
    return "the data of " + ItemLabel(f.item) + " is shorter than its size " +
           std::to_string(f.dataSize);
}

std::string PackEndFault(const qdpkg::Fault& f) {
    if (f.kind == qdpkg::FaultKind::kShort) {
        return "the package ends before its end record";
    }
    return "the end record is damaged (mark " + Hex32(f.mark) + ", size " + std::to_string(f.size) +
           ")";
}

std::string FaultText(const std::string& path, const std::string& deviceId, const qdpkg::Fault& f,
                      const PackageInfo& info) {
    switch (f.part) {
        case qdpkg::FaultPart::kFile:
            return "cannot open " + path + ": " + std::strerror(f.error);
        case qdpkg::FaultPart::kPackHead:
            return NoPackageHead(f) ? path + ": not a package: no package head" : PackHeadFault(f);
        case qdpkg::FaultPart::kDevice:
            return "the package is for device \"" + info.devId + "\", not \"" + deviceId + "\"";
        case qdpkg::FaultPart::kItemHead:
            return ItemHeadFault(f);
        case qdpkg::FaultPart::kItemData:
            return ItemDataFault(f);
        case qdpkg::FaultPart::kPackEnd:
            return PackEndFault(f);
        case qdpkg::FaultPart::kNone:
        case qdpkg::FaultPart::kSeal:
        case qdpkg::FaultPart::kRoom:
            break;
    }
    return "the package is refused (error " + std::to_string(f.code) + ")";
}

SealInfo ToSealInfo(const QDUPK_SEALINFO_T& found) {
    SealInfo seal;
    seal.state = found.emState == QDUPK_SEAL_SIGNED     ? SealState::kSigned
                 : found.emState == QDUPK_SEAL_UNSIGNED ? SealState::kUnsigned
                                                        : SealState::kNone;
    seal.counter = found.nCounter;
    std::memcpy(seal.keyId.data(), found.byKeyId, seal.keyId.size());
    seal.keyIndex = found.nKeyIndex;
    return seal;
}

// "key 0123456789abcdef, key fedcba9876543210": the keys a refusal was
// judged by, so a mix-up of key files shows at once.
std::string GivenKeys(const SealPolicy& policy) {
    std::string keys;
    for (const PublicKey& key : policy.keys) {
        keys += (keys.empty() ? "key " : ", key ") + qd::HexString(KeyIdOf(key));
    }
    return keys;
}

std::string SealFaultText(int code, const SealInfo& seal, const SealPolicy& policy) {
    const std::string key = "key " + qd::HexString(seal.keyId);
    switch (code) {
        case QDUPKERR_SEALFORMAT:
            return "the bytes after the end record begin as a seal but are not a well-formed one";
        case QDUPKERR_SEALDIGEST:
            return "the seal's SHA-256 does not match the package: it was changed after sealing";
        case QDUPKERR_UNSEALED:
            return std::string(seal.state == SealState::kNone ? "the package is unsealed"
                                                              : "the seal is unsigned") +
                   ", but a signature by a given key is required";
        case QDUPKERR_UNKNOWNKEY:
            return "the package is signed by an unknown key: " + key +
                   " is not among the given keys (" + GivenKeys(policy) + ")";
        case QDUPKERR_SIGNATURE:
            return "the signature by " + key + " does not verify: the seal is forged or damaged";
        case QDUPKERR_WEAKKEY:
            return "the package is signed by " + key +
                   ", a small-order or non-canonical key that verifies nothing";
        case QDUPKERR_ROLLBACK:
            return "rollback: the package's counter " + std::to_string(seal.counter) +
                   " is lower than the minimum " + std::to_string(policy.minCounter);
        default:
            break;
    }
    return "the seal cannot be checked (error " + std::to_string(code) + ")";
}

std::vector<unsigned char> KeyBytes(const SealPolicy& policy) {
    std::vector<unsigned char> keys;
    for (const PublicKey& key : policy.keys) {
        keys.insert(keys.end(), key.begin(), key.end());
    }
    return keys;
}

// The walk hands out no digest, so the identity's bytes are read again:
// all before the seal, or the whole file when there is none. Empty when
// the file can no longer be read (it changed under us).
std::string IdentityOf(const std::string& path, bool sealed) {
    struct stat st {};
    const qd::FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file || ::fstat(::fileno(file.get()), &st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) < qdpkg::kSealSize) {
        return std::string();
    }
    auto left = static_cast<std::uint64_t>(st.st_size) - (sealed ? qdpkg::kSealSize : 0);
    qdpkg::Sha256 hash;
    unsigned char buffer[64 * 1024];
    while (left > 0) {
        const std::size_t want = left < sizeof buffer ? left : sizeof buffer;
        const std::size_t got = std::fread(buffer, 1, want, file.get());
        if (got == 0) {
            return std::string();
        }
        hash.Update(buffer, got);
        left -= got;
    }
    unsigned char digest[qdpkg::kSha256Size];
    char identity[qdpkg::kPackageIdentityDigits + 1];
    if (!hash.Final(digest)) {
        return std::string();
    }
    qdpkg::FormatPackageIdentity(digest, identity);
    return identity;
}

// The one walk, the seal judged by `policy` from it: every byte is read
// once. Returns the fault text, empty when the package passed.
// unreadable tells a file that is no package at all from a damaged one.
std::string Walk(const std::string& path, const std::optional<std::string>& deviceId,
                 const SealPolicy& policy, PackageInfo& info, bool& unreadable) {
    std::string problem = PackageFileProblem(path);
    unreadable = !problem.empty();
    if (unreadable) {
        return problem;
    }
    ItemCollector collector(&info.items);
    qdpkg::Report report;
    report.visitor = &collector;
    report.printLines = false;
    const std::vector<unsigned char> keys = KeyBytes(policy);
    const qdpkg::SealCheck check{nullptr, keys.empty() ? nullptr : keys.data(),
                                 static_cast<int>(policy.keys.size()), policy.minCounter};
    QDUPK_PACKHEAD_T head{};
    QDUPK_SEALINFO_T found{};
    const int ret = qdpkg::VerifySealedPackageFile(
        path.c_str(), deviceId ? deviceId->c_str() : nullptr, check, &head, &found, report);
    const qdpkg::FaultPart part = report.fault.part;
    unreadable = ret != 0 && (part == qdpkg::FaultPart::kFile || NoPackageHead(report.fault));
    if (ret == 0 || (part != qdpkg::FaultPart::kFile && part != qdpkg::FaultPart::kPackHead)) {
        info.name = head.szPktName;
        info.version = head.szPktVersion;
        info.devId = head.szDevID;
        info.formatVersion = head.nUpkVersion;
    }
    info.seal = ToSealInfo(found);
    if (ret == 0) {
        info.identity = IdentityOf(path, info.seal.state != SealState::kNone);
        return std::string();
    }
    return part == qdpkg::FaultPart::kSeal
               ? SealFaultText(ret, info.seal, policy)
               : FaultText(path, deviceId.value_or(""), report.fault, info);
}

}  // namespace

std::vector<std::int32_t> ItemTypes(const PackageInfo& info) {
    std::vector<std::int32_t> types;
    for (const ItemInfo& item : info.items) {
        types.push_back(item.type);
    }
    return types;
}

PackageInfo ReadPackage(const std::string& path) {
    PackageInfo info;
    bool unreadable = false;
    const std::string fault = Walk(path, std::nullopt, SealPolicy{}, info, unreadable);
    if (!fault.empty()) {
        throw Error(unreadable ? fault : path + ": damaged package: " + fault);
    }
    return info;
}

SealPolicy PolicyFromKeyFiles(const std::vector<std::string>& keyFiles,
                              std::optional<std::uint64_t> minCounter) {
    SealPolicy policy;
    for (const std::string& path : keyFiles) {
        policy.keys.push_back(ReadPublicKey(path));
    }
    policy.minCounter = minCounter.value_or(0);
    return policy;
}

VerifyResult VerifyPackage(const std::string& path, const std::optional<std::string>& deviceId,
                           const SealPolicy& seal) {
    VerifyResult result;
    result.message = Walk(path, deviceId, seal, result.info, result.unreadable);
    if (!result.message.empty()) {
        return result;
    }
    result.accepted = true;
    result.message = "package \"" + result.info.name + "\" version \"" + result.info.version +
                     "\" for device \"" + result.info.devId + "\", " +
                     std::to_string(result.info.items.size()) + " item(s), all digests match; " +
                     SealSummary(result.info.seal);
    return result;
}

std::string PackageFileProblem(const std::string& path, const struct stat* info) {
    if (info == nullptr) {
        return errno == ENOENT ? path + ": no such file"
                               : "cannot read " + path + ": " + std::strerror(errno);
    }
    if (S_ISDIR(info->st_mode)) {
        return path + " is a directory, not a package";
    }
    if (!S_ISREG(info->st_mode)) {
        return path + " is not a regular file";
    }
    return info->st_size == 0 ? path + " is empty" : std::string();
}

std::string PackageFileProblem(const std::string& path) {
    struct stat info {};
    return PackageFileProblem(path, ::stat(path.c_str(), &info) == 0 ? &info : nullptr);
}

std::string SealSummary(const SealInfo& seal) {
    switch (seal.state) {
        case SealState::kNone:
            return "unsealed";
        case SealState::kUnsigned:
            return "sealed, unsigned, counter " + std::to_string(seal.counter);
        case SealState::kSigned:
            break;
    }
    return "sealed, signed by key " + qd::HexString(seal.keyId) + ", counter " +
           std::to_string(seal.counter);
}

const char* SealStateName(SealState state) {
    switch (state) {
        case SealState::kNone:
            return "none";
        case SealState::kUnsigned:
            return "unsigned";
        case SealState::kSigned:
            break;
    }
    return "signed";
}

}  // namespace qdupk
