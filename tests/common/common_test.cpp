#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qd_bytes.h"
#include "qd_hex.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "test_support.h"

TEST(CopyText, FitsWholeAndTerminates) {
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    EXPECT_TRUE(qd::CopyText(dst, "1234567"));
    EXPECT_STREQ(dst, "1234567");
}

TEST(CopyText, CutsAtArraySizeAndReportsIt) {
    char dst[4];
    EXPECT_FALSE(qd::CopyText(dst, "abcdef"));
    EXPECT_STREQ(dst, "abc");
    EXPECT_FALSE(qd::CopyText(dst, 0, "a"));
}

TEST(FormatText, ReportsACutCommandLine) {
    char dst[8];
    EXPECT_TRUE(qd::FormatText(dst, sizeof dst, "%s %s", "ab", "cd"));
    EXPECT_STREQ(dst, "ab cd");
    EXPECT_FALSE(qd::FormatText(dst, sizeof dst, "%s %s", "abcd", "efgh"));
    EXPECT_EQ(std::strlen(dst), 7u);
}

TEST(BoundedLength, StopsAtArrayEndWithoutTerminator) {
    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(qd::BoundedLength(full, sizeof full), 4u);
    EXPECT_EQ(qd::BoundedLength("ab\0cd", 5), 2u);
}

TEST(Bytes, RoundTripBothOrders) {
    unsigned char b[4];
    qd::StoreLe32(b, 0xCDFAC190u);
    EXPECT_EQ(b[0], 0x90);
    EXPECT_EQ(b[3], 0xCD);
    EXPECT_EQ(qd::LoadLe32(b), 0xCDFAC190u);
    qd::StoreBe32(b, 0xAACCDD03u);
    EXPECT_EQ(b[0], 0xAA);
    EXPECT_EQ(b[3], 0x03);
    EXPECT_EQ(qd::LoadBe32(b), 0xAACCDD03u);
    qd::StoreBe16(b, 0x05DC);
    EXPECT_EQ(b[0], 0x05);
    EXPECT_EQ(qd::LoadBe16(b), 0x05DC);
}

TEST(Hex, ReadsEitherCaseAndPrintsLowerCase) {
    unsigned char bytes[3];
    ASSERT_TRUE(qd::ParseHex("0aFf9C", 6, bytes, sizeof bytes));
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0x9C);
    char text[7];
    EXPECT_TRUE(qd::FormatHex(bytes, sizeof bytes, text));
    EXPECT_STREQ(text, "0aff9c");
    EXPECT_EQ(qd::HexString(bytes, sizeof bytes), "0aff9c");
    // One short of the terminator: nothing half-printed.
    char small[6];
    EXPECT_FALSE(qd::FormatHex(bytes, sizeof bytes, small));
    EXPECT_STREQ(small, "");
}

// Key settings and key files are taken whole or not at all.
TEST(Hex, RefusesAnyOtherLengthOrCharacterAndLeavesTheBytes) {
    const char* const refused[] = {"0aff9",  "0aff9c0", "0aff9g", "0a ff9", "+aff9c",
                                   "0xff9c", "0aff9 ",  "",       "-0aff9"};
    for (const char* text : refused) {
        unsigned char bytes[3] = {1, 2, 3};
        EXPECT_FALSE(qd::ParseHex(text, std::strlen(text), bytes, sizeof bytes)) << text;
        EXPECT_EQ(bytes[0] + bytes[1] + bytes[2], 6) << text;
    }
    unsigned char bytes[3];
    EXPECT_FALSE(qd::ParseHex("0a\0f9c", 6, bytes, sizeof bytes));
}

// Bytes still buffered at the close are lost on a full device: the close must
// report it. The owner is empty afterwards either way.
TEST(CloseChecked, ReportsBytesLostAtTheLastFlush) {
    qd::FilePtr full(std::fopen("/dev/full", "w"));
    ASSERT_TRUE(full);
    ASSERT_GE(std::fputs("lost", full.get()), 0);
    EXPECT_FALSE(qd::CloseChecked(full));
    EXPECT_FALSE(full);

    qd::FilePtr sink(std::fopen("/dev/null", "w"));
    ASSERT_TRUE(sink);
    ASSERT_GE(std::fputs("kept", sink.get()), 0);
    EXPECT_TRUE(qd::CloseChecked(sink));
    EXPECT_FALSE(sink);
}

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// stdout set up as the daemon sets it up, into a file the test reads
// without flushing: what is there is what a reader of the log would see.
class LogPolicy : public ::testing::Test {
  protected:
    void SetUp() override {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const qd::UniqueFd log(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        ASSERT_TRUE(saved_ >= 0 && log.valid());
        ASSERT_GE(dup2(log.get(), STDOUT_FILENO), 0);
        qd::GatherTraceLines();
    }
    void TearDown() override {
        std::fflush(stdout);
        static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ));
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    std::string Written() const { return qdtest::ReadFile(path_); }

    qdtest::ScratchDir dir_;
    std::string path_ = dir_.file("log");
    int saved_ = -1;
};

}  // namespace

TEST_F(LogPolicy, EveryLineButGatheredTracesGoesOutAtOnceAndInOrder) {
    QD_LOG_GATHER("chunk %d\n", 1);
    QD_LOG_GATHER("chunk %d\n", 2);
    EXPECT_EQ(Written().find("chunk"), std::string::npos) << "gathered, not written one by one";

    QD_LOG_ERR("failed\n");
    const std::string afterError = Written();
    const std::size_t first = afterError.find("chunk 1\n");
    const std::size_t second = afterError.find("chunk 2\n");
    const std::size_t error = afterError.find("ERROR(");
    ASSERT_NE(error, std::string::npos) << afterError;
    EXPECT_TRUE(first < second && second < error) << afterError;
    EXPECT_TRUE(EndsWith(afterError, "): failed\n")) << afterError;

    QD_LOG_TRACE("trace\n");
    EXPECT_TRUE(EndsWith(Written(), "): trace\n")) << Written();
    qd::LogPlain("plain %s\n", "line");
    EXPECT_TRUE(EndsWith(Written(), "\nplain line\n")) << Written();
}

// Before a command runs, the daemon's command runner flushes them too
// (tests/daemon/shell_test.cpp).
TEST_F(LogPolicy, GatheredLinesAreOutAtTheEndOfAPass) {
    QD_LOG_GATHER("last chunk\n");
    EXPECT_EQ(Written().find("last chunk\n"), std::string::npos);
    qd::LogFlush();  // what a pass does at its end
    EXPECT_NE(Written().find("last chunk\n"), std::string::npos);
}
