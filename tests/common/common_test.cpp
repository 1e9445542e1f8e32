#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_text.h"

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
