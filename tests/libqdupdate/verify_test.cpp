// The device check and the verification pass: nothing is installed unless
// the whole package is right.
#include <cstring>

#include "package_fixture.h"
#include "pkg_reader.h"
#include "qd_owners.h"
#include "seal.h"

namespace qdtest {
namespace {

using Bytes = std::string;

std::vector<std::string> Errors(const std::vector<std::string>& messages) {
    std::vector<std::string> errors;
    for (const std::string& m : messages) {
        if (m.rfind("E ", 0) == 0) {
            errors.push_back(m);
        }
    }
    return errors;
}

std::vector<std::string> DigestTraces(const std::vector<std::string>& messages) {
    std::vector<std::string> traces;
    for (const std::string& m : messages) {
        if (m.rfind("T md5FileData", 0) == 0) {
            traces.push_back(m);
        }
    }
    return traces;
}

class VerifyTest : public PackageTest {
  protected:
    qdupk::PackagePlan plan_ = Package({Item(QDUPK_ITEM_FILE, "first", scratch_.file("one")),
                                        Item(QDUPK_ITEM_APP, "second"),
                                        Item(QDUPK_ITEM_FILE, "third", scratch_.file("three"))});
    Bytes bytes_ = qdupk::BuildPackage(plan_);
    std::size_t Head(std::size_t index) const { return ItemHeadOffset(plan_, index); }
};

TEST_F(VerifyTest, PackageForAnotherDeviceFailsBeforeAnyDigest) {
    WritePackage(bytes_);
    EXPECT_EQ(Update("IPC-2"), QDUPKERR_DEVID);
    EXPECT_EQ(messages_, std::vector<std::string>{"E device id error[IPC-1]"});
    EXPECT_TRUE(calls_.empty());
}

TEST_F(VerifyTest, OnlyTheExactWildcardMatchesEveryDevice) {
    plan_.devId = "QUNDAR";
    WritePackage(plan_);
    EXPECT_EQ(Update("any-device"), 0);
    EXPECT_EQ(messages_.front(), "T QUNDAR any update packet");
    EXPECT_EQ(calls_.size(), 3u);
    for (const char* near : {"QUNDARX", "qundar", "QUNDA"}) {
        plan_.devId = near;
        WritePackage(plan_);
        EXPECT_EQ(Update("IPC-1"), QDUPKERR_DEVID) << near;
        EXPECT_EQ(Update(near), 0) << near;
    }
}

TEST_F(VerifyTest, DamagedPackagesInstallNothing) {
    const std::string headError = "E item head error, iRet=456, dwSize=456, nMaskID=CDFAE192, ";
    struct Case {
        const char* what;
        Bytes bytes;
        int result;
        std::vector<std::string> errors;
    };
    std::vector<Case> cases;
    Bytes b = bytes_;
    b[Head(2) + 456] ^= 0x01;  // last item's data
    cases.push_back({"digest of the last item",
                     b,
                     QDUPKERR_CRCDATA,
                     {"E crc data error", "E crc packet error=-5"}});
    b = bytes_;
    PatchLe32(b, Head(1) + 436, 0);
    cases.push_back({"data size 0",
                     b,
                     QDUPKERR_INVALIDPKG,
                     {headError + "nItemIndex=1, nDataSize=0", "E crc packet error=-3"}});
    b = bytes_;
    PatchLe32(b, Head(1) + 20, 0x11223344);
    cases.push_back({"item mark",
                     b,
                     QDUPKERR_INVALIDPKG,
                     {"E item head error, iRet=456, dwSize=456, nMaskID=11223344, nItemIndex=1, "
                      "nDataSize=6",
                      "E crc packet error=-3"}});
    b = bytes_;
    PatchLe32(b, Head(2) + 436, 0x7FFFFFFF);  // runs past the end of the file
    cases.push_back({"data beyond the end",
                     b,
                     QDUPKERR_INVALIDPKG,
                     {"E read file error:45, readsize = 4096", "E crc packet error=-3"}});
    b = bytes_;
    PatchLe32(b, b.size() - 40 + 20, 0);
    cases.push_back(
        {"end mark", b, QDUPKERR_INVALIDPKG, {"E invalid update pkg", "E crc packet error=-3"}});
    b = bytes_;
    PatchLe32(b, b.size() - 40 + 16, 41);
    cases.push_back(
        {"end size", b, QDUPKERR_INVALIDPKG, {"E invalid update pkg", "E crc packet error=-3"}});
    cases.push_back({"no end record",
                     bytes_.substr(0, bytes_.size() - 40),
                     QDUPKERR_INVALIDPKG,
                     {"E crc packet error=-3"}});
    b = bytes_;
    std::memset(&b[Head(2) + 164], static_cast<unsigned char>(~'d'), 128);  // szDesc
    cases.push_back({"unterminated text in the last item",
                     b,
                     QDUPKERR_INVALIDPKG,
                     {"E item head error, text field without terminator, nItemIndex=2",
                      "E crc packet error=-3"}});
    // Items 0 and 1 exchanged whole: digests still right, indexes not.
    b = bytes_.substr(0, Head(0)) + bytes_.substr(Head(1), Head(2) - Head(1)) +
        bytes_.substr(Head(0), Head(1) - Head(0)) + bytes_.substr(Head(2));
    cases.push_back({"swapped items",
                     b,
                     QDUPKERR_INVALIDPKG,
                     {headError + "nItemIndex=1, nDataSize=6", "E crc packet error=-3"}});

    for (const Case& c : cases) {
        WritePackage(c.bytes);
        EXPECT_EQ(Update(), c.result) << c.what;
        EXPECT_EQ(Errors(messages_), c.errors) << c.what;
        EXPECT_TRUE(calls_.empty()) << c.what;
        EXPECT_FALSE(FileExists(scratch_.file("one"))) << c.what;
    }
}

TEST_F(VerifyTest, PackageCutAnywhereBeforeItsEndIsRefused) {
    for (std::size_t length = 0; length < bytes_.size(); ++length) {
        WritePackage(bytes_.substr(0, length));
        ASSERT_EQ(Update(), QDUPKERR_INVALIDPKG) << "cut to " << length;
        ASSERT_TRUE(calls_.empty()) << "cut to " << length;
    }
}

TEST_F(VerifyTest, BytesAfterTheEndRecordAreIgnored) {
    WritePackage(bytes_ + "trailing garbage");
    EXPECT_EQ(Update(), 0);
    EXPECT_EQ(calls_.size(), 3u);
    // A successful update prints only the digest traces.
    EXPECT_EQ(DigestTraces(messages_).size(), messages_.size());
}

TEST_F(VerifyTest, DataIsDigestedInChunksOf4096WithOneTraceEach) {
    WritePackage(Package({Item(QDUPK_ITEM_APP, std::string(4096, 'a')),
                          Item(QDUPK_ITEM_APP, std::string(4097, 'b'))}));
    EXPECT_EQ(Update(), 0);
    EXPECT_EQ(DigestTraces(messages_),
              (std::vector<std::string>{"T md5FileData readsize = 4096, iRet = 4096",
                                        "T md5FileData readsize = 4096, iRet = 4096",
                                        "T md5FileData readsize = 1, iRet = 1"}));
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].content, std::string(4097, 'b'));
}

struct SeenItems final : qdpkg::ItemVisitor {
    void OnItem(const QDUPK_PKTITEM_T& item) noexcept override {
        indexes.push_back(item.nItemIndex);
        descriptions.emplace_back(item.szDesc);
    }
    std::vector<int> indexes;
    std::vector<std::string> descriptions;
};

// The walk the host tool words its messages from: the fault names the
// record, the reason and the values read, the visitor sees exactly the
// items verified before it, and a quiet walk prints nothing.
TEST_F(VerifyTest, QuietWalkReportsWhereAndWhyItStopped) {
    using qdpkg::FaultKind;
    using qdpkg::FaultPart;
    struct Case {
        const char* what;
        Bytes bytes;
        const char* device;
        FaultPart part;
        FaultKind kind;
        std::int32_t item;
        std::size_t seen;  // items handed to the visitor
    };
    std::vector<Case> cases;
    Bytes b = bytes_;
    b[Head(2) + 456] ^= 0x01;
    cases.push_back({"digest", b, nullptr, FaultPart::kItemData, FaultKind::kDigest, 2, 2});
    b = bytes_;
    PatchLe32(b, Head(1) + 20, 0x11223344);
    cases.push_back({"item mark", b, nullptr, FaultPart::kItemHead, FaultKind::kFields, 1, 1});
    b = bytes_;
    PatchLe32(b, Head(2) + 436, 7);
    cases.push_back({"data cut", b.substr(0, Head(2) + 456 + 3), nullptr, FaultPart::kItemData,
                     FaultKind::kShort, 2, 2});
    cases.push_back({"head cut", bytes_.substr(0, Head(1) + 10), nullptr, FaultPart::kItemHead,
                     FaultKind::kShort, 1, 1});
    cases.push_back({"no end", bytes_.substr(0, bytes_.size() - 1), nullptr, FaultPart::kPackEnd,
                     FaultKind::kShort, -1, 3});
    cases.push_back(
        {"device", bytes_, "IPC-2", FaultPart::kDevice, FaultKind::kOtherDevice, -1, 0});
    cases.push_back({"good", bytes_ + "tail", "IPC-1", FaultPart::kNone, FaultKind::kNone, -1, 3});

    for (const Case& c : cases) {
        WritePackage(c.bytes);
        SeenItems seen;
        qdpkg::Report report;
        report.visitor = &seen;
        report.printLines = false;
        QDUPK_PACKHEAD_T head{};
        StdoutCapture capture;
        const int ret = qdpkg::VerifyPackageFile(package_.c_str(), c.device, &head, report);
        EXPECT_EQ(capture.Finish(), "") << c.what;
        EXPECT_EQ(ret, report.fault.code) << c.what;
        EXPECT_EQ(report.fault.part, c.part) << c.what;
        EXPECT_EQ(report.fault.kind, c.kind) << c.what;
        EXPECT_EQ(report.fault.item, c.item) << c.what;
        EXPECT_EQ(seen.indexes.size(), c.seen) << c.what;
        for (std::size_t i = 0; i < seen.indexes.size(); ++i) {
            EXPECT_EQ(seen.indexes[i], static_cast<int>(i)) << c.what;
            EXPECT_EQ(seen.descriptions[i], plan_.items[i].description) << c.what;
        }
    }
    // The values read travel with the fault.
    b = bytes_;
    PatchLe32(b, Head(1) + 20, 0x11223344);
    WritePackage(b);
    qdpkg::Report report;
    report.printLines = false;
    QDUPK_PACKHEAD_T head{};
    EXPECT_EQ(qdpkg::VerifyPackageFile(package_.c_str(), nullptr, &head, report),
              QDUPKERR_INVALIDPKG);
    EXPECT_EQ(report.fault.mark, 0x11223344);
    EXPECT_EQ(report.fault.index, 1);
    EXPECT_EQ(report.fault.dataSize, 6);
    EXPECT_STREQ(head.szDevID, "IPC-1");
}

// The one walk keeps what later steps need: where each item's data starts,
// where the records end, and, when the file ends in a seal, the SHA-256 of
// every byte before it, taken in the same pass.
TEST_F(VerifyTest, OneWalkIndexesItemDataAndDigestsTheBytesBeforeTheSeal) {
    qdpkg::SealRecord record;
    ASSERT_TRUE(qdpkg::Sha256Of(bytes_.data(), bytes_.size(), record.digest));
    unsigned char seal[qdpkg::kSealSize];
    qdpkg::EncodeSeal(record, seal);
    const Bytes sealed = bytes_ + Bytes(reinterpret_cast<const char*>(seal), sizeof seal);
    for (const bool isSealed : {true, false}) {
        const Bytes b = isSealed ? sealed : bytes_ + "tail";
        WritePackage(b);
        const qd::FilePtr fp(std::fopen(package_.c_str(), "rb"));
        ASSERT_TRUE(fp);
        qdpkg::Report report;
        report.printLines = false;
        qdpkg::PackageIndex index;
        ASSERT_EQ(qdpkg::IndexPackage(fp.get(), "IPC-1", qdpkg::SealDigest::kTake, &index, report),
                  0);
        ASSERT_EQ(index.itemCount, 3);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(index.items[i].dataOffset, Head(i) + qdpkg::kItemHeadSize);
            EXPECT_STREQ(index.items[i].head.szDesc, plan_.items[i].description.c_str());
        }
        EXPECT_EQ(index.endOffset, bytes_.size());
        EXPECT_EQ(index.fileSize, b.size());
        EXPECT_EQ(Bytes(reinterpret_cast<const char*>(index.trailer), index.trailerGot),
                  b.substr(bytes_.size()));
        ASSERT_EQ(index.digested, isSealed);
        if (isSealed) {
            EXPECT_EQ(std::memcmp(index.prefixDigest, record.digest, sizeof record.digest), 0);
        }
    }
}

}  // namespace
}  // namespace qdtest
