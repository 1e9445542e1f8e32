#include "package_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libqdupdate.h"
#include "qdupdate.h"

namespace qdupk {

namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;
constexpr char kAnyDevice[] = "QUNDAR";

struct FileCloser {
    void operator()(std::FILE* fp) const { (void)std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Hex32(std::int32_t value) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

std::string ItemLabel(std::int32_t index) {
    return "item " + std::to_string(index);
}

QDUPK_PACKHEAD_T ReadHead(std::FILE* fp) {
    unsigned char raw[kPackHeadSize];
    if (std::fread(raw, 1, sizeof raw, fp) != sizeof raw) {
        throw PackageError("the file is shorter than a package head (432 bytes)");
    }
    QDUPK_PACKHEAD_T head;
    DecodePackHead(raw, head);
    if (!PackHeadValid(head)) {
        throw PackageError("the package head is damaged (mark " + Hex32(head.nMaskID) + ", size " +
                           std::to_string(head.dwSize) + ", items " + std::to_string(head.nItems) +
                           ")");
    }
    if (!PackHeadTextTerminated(head)) {
        throw PackageError("a text field of the package head has no terminator");
    }
    DecodePackHeadText(head);
    return head;
}

QDUPK_PKTITEM_T ReadItemHead(std::FILE* fp, std::int32_t index) {
    unsigned char raw[kItemHeadSize];
    if (std::fread(raw, 1, sizeof raw, fp) != sizeof raw) {
        throw PackageError("the package ends inside the head of " + ItemLabel(index));
    }
    QDUPK_PKTITEM_T item;
    DecodeItemHead(raw, item);
    if (!ItemHeadValid(item, index)) {
        throw PackageError("the head of " + ItemLabel(index) + " is damaged (mark " +
                           Hex32(item.nMaskID) + ", size " + std::to_string(item.dwSize) +
                           ", index " + std::to_string(item.nItemIndex) + ", data size " +
                           std::to_string(item.nDataSize) + ")");
    }
    if (!ItemHeadTextTerminated(item)) {
        throw PackageError("a text field of " + ItemLabel(index) + " has no terminator");
    }
    DecodeItemHeadText(item);
    return item;
}

void CheckItemData(std::FILE* fp, const QDUPK_PKTITEM_T& item) {
    std::vector<unsigned char> chunk(kChunk);
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    auto remaining = static_cast<std::size_t>(item.nDataSize);
    while (remaining > 0) {
        const std::size_t want = remaining < chunk.size() ? remaining : chunk.size();
        if (std::fread(chunk.data(), 1, want, fp) != want) {
            throw PackageError("the data of " + ItemLabel(item.nItemIndex) +
                               " is shorter than its size " + std::to_string(item.nDataSize));
        }
        libqdupk_MD5Update(&context, chunk.data(), static_cast<unsigned int>(want));
        remaining -= want;
    }
    std::array<unsigned char, 16> digest{};
    libqdupk_MD5Final(&context, digest.data());
    if (std::memcmp(digest.data(), item.szDataMd5, digest.size()) != 0) {
        throw PackageError("the data of " + ItemLabel(item.nItemIndex) +
                           " does not match its MD5 digest");
    }
}

void ReadEnd(std::FILE* fp) {
    unsigned char raw[kPackEndSize];
    if (std::fread(raw, 1, sizeof raw, fp) != sizeof raw) {
        throw PackageError("the package ends before its end record");
    }
    QDUPK_PACKEND_T end;
    DecodePackEnd(raw, end);
    if (!PackEndValid(end)) {
        throw PackageError("the end record is damaged (mark " + Hex32(end.nMaskID) + ", size " +
                           std::to_string(end.dwSize) + ")");
    }
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

void ReadInto(const std::string& path, PackageInfo& info) {
    const File fp(std::fopen(path.c_str(), "rb"));
    if (!fp) {
        throw PackageError("cannot open " + path + ": " + std::strerror(errno));
    }
    const QDUPK_PACKHEAD_T head = ReadHead(fp.get());
    info.name = head.szPktName;
    info.version = head.szPktVersion;
    info.devId = head.szDevID;
    info.formatVersion = head.nUpkVersion;
    for (std::int32_t i = 0; i < head.nItems; ++i) {
        const QDUPK_PKTITEM_T item = ReadItemHead(fp.get(), i);
        CheckItemData(fp.get(), item);
        info.items.push_back(ToInfo(item));
    }
    ReadEnd(fp.get());
}

}  // namespace

PackageInfo ReadPackage(const std::string& path) {
    PackageInfo info;
    ReadInto(path, info);
    return info;
}

VerifyResult VerifyPackage(const std::string& path, const std::optional<std::string>& deviceId) {
    VerifyResult result;
    try {
        ReadInto(path, result.info);
    } catch (const PackageError& e) {
        result.message = e.what();
        return result;
    }
    const std::string& pkgDevice = result.info.devId;
    if (deviceId && pkgDevice != kAnyDevice && pkgDevice != *deviceId) {
        result.message =
            "the package is for device \"" + pkgDevice + "\", not \"" + *deviceId + "\"";
        return result;
    }
    result.accepted = true;
    result.message = "package \"" + result.info.name + "\" version \"" + result.info.version +
                     "\" for device \"" + pkgDevice + "\", " +
                     std::to_string(result.info.items.size()) + " item(s), all digests match";
    return result;
}

std::string Md5Hex(const std::array<unsigned char, 16>& md5) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : md5) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

}  // namespace qdupk
