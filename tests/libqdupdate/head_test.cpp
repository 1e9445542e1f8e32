// Package layout and the head: the query, the head's rules and its text.
#include <cstring>

#include "package_fixture.h"
#include "qd_bytes.h"

namespace qdtest {
namespace {

using Bytes = std::string;

unsigned char At(const Bytes& b, std::size_t i) {
    return static_cast<unsigned char>(b[i]);
}

class HeadTest : public PackageTest {
  protected:
    int Query() {
        std::memset(name_, 'x', sizeof name_);
        std::memset(version_, 'x', sizeof version_);
        std::memset(devId_, 'x', sizeof devId_);
        StdoutCapture capture;
        const int ret = libqdupk_pkgversion(package_.c_str(), name_, version_, devId_);
        messages_ = Messages(capture.Finish());
        return ret;
    }
    char name_[128];
    char version_[128];
    char devId_[128];
};

TEST_F(HeadTest, OneByteItemMakesA929BytePackageThatInstalls) {
    const Bytes bytes = qdupk::BuildPackage(Package({Item(QDUPK_ITEM_APP, "Z")}));
    ASSERT_EQ(bytes.size(), 929u);
    // Marks little-endian at their offsets: head, item head, end record.
    EXPECT_EQ(qd::LoadLe32(reinterpret_cast<const unsigned char*>(&bytes[20])), 0xCDFAC190u);
    EXPECT_EQ(qd::LoadLe32(reinterpret_cast<const unsigned char*>(&bytes[432 + 20])), 0xCDFAE192u);
    EXPECT_EQ(qd::LoadLe32(reinterpret_cast<const unsigned char*>(&bytes[889 + 20])), 0xCDFAD191u);
    // Text stored complemented, terminator stored as 0xFF; digest stored raw.
    EXPECT_EQ(At(bytes, 28), static_cast<unsigned char>(~'C'));
    EXPECT_EQ(At(bytes, 28 + std::strlen("Camera firmware")), 0xFF);
    unsigned char md5[16];
    libqdupk_MD5MakeString("Z", md5);
    EXPECT_EQ(std::memcmp(&bytes[432 + 420], md5, 16), 0);

    WritePackage(bytes);
    ASSERT_EQ(Update(), 0);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].content, "Z");
}

TEST_F(HeadTest, QueryReadsTheHeadAloneEvenWhenItemsAreDamaged) {
    const qdupk::PackagePlan plan = Package({Item(QDUPK_ITEM_APP, "data")}, "QUNDAR");
    Bytes bytes = qdupk::BuildPackage(plan);
    PatchLe32(bytes, ItemHeadOffset(plan, 0) + 20, 0);  // item mark
    bytes.back() ^= 0x01;                               // end record
    WritePackage(bytes);
    ASSERT_EQ(Query(), 0);
    EXPECT_STREQ(name_, "Camera firmware");
    EXPECT_STREQ(version_, "V2.0.1");
    EXPECT_STREQ(devId_, "QUNDAR");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(HeadTest, BadHeadsAreRefusedByQueryAndUpdateAlike) {
    const Bytes good = qdupk::BuildPackage(Package({Item(QDUPK_ITEM_APP, "data")}));
    struct Case {
        const char* what;
        std::size_t offset;  // field to patch, or the length to cut to
        std::int32_t value;
        bool cut;
        bool markLine;  // "invalid update pkg" comes first
    };
    const Case cases[] = {
        {"no items", 412, 0, false, true},           {"negative items", 412, -1, false, true},
        {"wrong mark", 20, 0x12345678, false, true}, {"wrong size", 16, 433, false, true},
        {"short head", 431, 0, true, false},         {"empty file", 0, 0, true, false},
    };
    for (const Case& c : cases) {
        Bytes bytes = c.cut ? good.substr(0, c.offset) : good;
        if (!c.cut) {
            PatchLe32(bytes, c.offset, c.value);
        }
        WritePackage(bytes);
        std::vector<std::string> expected = {"E get file head error=-3"};
        if (c.markLine) {
            expected.insert(expected.begin(), "E invalid update pkg");
        }
        EXPECT_EQ(Query(), QDUPKERR_INVALIDPKG) << c.what;
        EXPECT_EQ(messages_, expected) << c.what;
        EXPECT_EQ(name_[0], 'x') << c.what << ": buffers must stay untouched";
        EXPECT_EQ(Update(), QDUPKERR_INVALIDPKG) << c.what;
        EXPECT_EQ(messages_, expected) << c.what;
    }
    EXPECT_TRUE(calls_.empty());
}

TEST_F(HeadTest, MissingFileAndNullArgumentsGiveOpenFileError) {
    package_ = scratch_.file("missing.upg");
    EXPECT_EQ(Query(), QDUPKERR_OPENFILE);
    EXPECT_EQ(messages_, std::vector<std::string>{"E open file[" + package_ + "] failed"});
    EXPECT_EQ(Update(), QDUPKERR_OPENFILE);

    StdoutCapture capture;
    EXPECT_EQ(libqdupk_pkgversion(nullptr, name_, version_, devId_), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_pkgversion(package_.c_str(), nullptr, version_, devId_), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_update(package_.c_str(), "IPC-1", "/tmp", nullptr), QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_updatecheck(package_.c_str(), nullptr, "/tmp", RecordInstall, nullptr),
              QDUPKERR_OPENFILE);
    EXPECT_EQ(libqdupk_version(), 10);
}

// A text that fills all 128 bytes without a terminator would be read past
// its field; the head is refused instead.
TEST_F(HeadTest, TextWithoutTerminatorMakesTheHeadInvalid) {
    Bytes bytes = qdupk::BuildPackage(Package({Item(QDUPK_ITEM_APP, "data")}));
    std::memset(&bytes[156], static_cast<unsigned char>(~'v'), 128);  // szPktVersion
    WritePackage(bytes);
    EXPECT_EQ(Query(), QDUPKERR_INVALIDPKG);
    EXPECT_EQ(messages_,
              (std::vector<std::string>{"E invalid update pkg", "E get file head error=-3"}));
    EXPECT_EQ(Update(), QDUPKERR_INVALIDPKG);
}

TEST_F(HeadTest, AllOnesTextFieldsDecodeToEmptyStrings) {
    const qdupk::PackagePlan plan = Package({Item(QDUPK_ITEM_FILE, "data", "/never/used")});
    Bytes bytes = qdupk::BuildPackage(plan);
    std::memset(&bytes[28], 0xFF, 128);                             // package name
    std::memset(&bytes[ItemHeadOffset(plan, 0) + 292], 0xFF, 128);  // destination
    WritePackage(bytes);
    ASSERT_EQ(Query(), 0);
    EXPECT_STREQ(name_, "");
    // An empty destination means none: the file item goes to the temporary file.
    ASSERT_EQ(Update(), 0);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].path, tempDir_ + "/updatetmp.bin");
    EXPECT_EQ(calls_[0].dst, "");
}

}  // namespace
}  // namespace qdtest
