// The host side of the device library's reader: the library walks and
// verifies the package exactly as the camera will, and this file only turns
// what it found into PackageInfo and into messages for people.
#include "package_reader.h"

#include <cstdio>
#include <cstring>

#include "pkg_reader.h"

namespace qdupk {

namespace {

std::string Hex32(std::int32_t value) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

std::string ItemLabel(std::int32_t index) {
    return "item " + std::to_string(index);
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
class ItemCollector final : public ItemVisitor {
  public:
    explicit ItemCollector(std::vector<ItemInfo>* items) : items_(items) {}
    // Out of memory on the host ends the tool here; nothing is half written.
    void OnItem(const QDUPK_PKTITEM_T& item) noexcept override { items_->push_back(ToInfo(item)); }

  private:
    std::vector<ItemInfo>* items_;
};

std::string PackHeadFault(const Fault& f) {
    switch (f.kind) {
        case FaultKind::kShort:
            return "the file is shorter than a package head (432 bytes)";
        case FaultKind::kUnterminated:
            return "a text field of the package head has no terminator";
        default:
            return "the package head is damaged (mark " + Hex32(f.mark) + ", size " +
                   std::to_string(f.size) + ", items " + std::to_string(f.items) + ")";
    }
}

std::string ItemHeadFault(const Fault& f) {
    switch (f.kind) {
        case FaultKind::kShort:
            return "the package ends inside the head of " + ItemLabel(f.item);
        case FaultKind::kUnterminated:
            return "a text field of " + ItemLabel(f.item) + " has no terminator";
        default:
            return "the head of " + ItemLabel(f.item) + " is damaged (mark " + Hex32(f.mark) +
                   ", size " + std::to_string(f.size) + ", index " + std::to_string(f.index) +
                   ", data size " + std::to_string(f.dataSize) + ")";
    }
}

std::string ItemDataFault(const Fault& f) {
    if (f.kind == FaultKind::kDigest) {
        return "the data of " + ItemLabel(f.item) + " does not match its MD5 digest";
    }
    return "the data of " + ItemLabel(f.item) + " is shorter than its size " +
           std::to_string(f.dataSize);
}

std::string PackEndFault(const Fault& f) {
    if (f.kind == FaultKind::kShort) {
        return "the package ends before its end record";
    }
    return "the end record is damaged (mark " + Hex32(f.mark) + ", size " + std::to_string(f.size) +
           ")";
}

std::string FaultText(const std::string& path, const std::string& deviceId, const Fault& f,
                      const PackageInfo& info) {
    switch (f.part) {
        case FaultPart::kFile:
            return "cannot open " + path + ": " + std::strerror(f.error);
        case FaultPart::kPackHead:
            return PackHeadFault(f);
        case FaultPart::kDevice:
            return "the package is for device \"" + info.devId + "\", not \"" + deviceId + "\"";
        case FaultPart::kItemHead:
            return ItemHeadFault(f);
        case FaultPart::kItemData:
            return ItemDataFault(f);
        case FaultPart::kPackEnd:
            return PackEndFault(f);
        case FaultPart::kNone:
            break;
    }
    return "the package is refused (error " + std::to_string(f.code) + ")";
}

// The one walk; returns the fault text, empty when the package passed.
std::string Walk(const std::string& path, const std::optional<std::string>& deviceId,
                 PackageInfo& info) {
    ItemCollector collector(&info.items);
    Report report;
    report.visitor = &collector;
    report.printLines = false;
    QDUPK_PACKHEAD_T head{};
    const int ret =
        VerifyPackageFile(path.c_str(), deviceId ? deviceId->c_str() : nullptr, &head, report);
    const FaultPart part = report.fault.part;
    if (ret == 0 || (part != FaultPart::kFile && part != FaultPart::kPackHead)) {
        info.name = head.szPktName;
        info.version = head.szPktVersion;
        info.devId = head.szDevID;
        info.formatVersion = head.nUpkVersion;
    }
    return ret == 0 ? std::string() : FaultText(path, deviceId.value_or(""), report.fault, info);
}

}  // namespace

PackageInfo ReadPackage(const std::string& path) {
    PackageInfo info;
    const std::string fault = Walk(path, std::nullopt, info);
    if (!fault.empty()) {
        throw PackageError(fault);
    }
    return info;
}

VerifyResult VerifyPackage(const std::string& path, const std::optional<std::string>& deviceId) {
    VerifyResult result;
    result.message = Walk(path, deviceId, result.info);
    if (!result.message.empty()) {
        return result;
    }
    result.accepted = true;
    result.message = "package \"" + result.info.name + "\" version \"" + result.info.version +
                     "\" for device \"" + result.info.devId + "\", " +
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
