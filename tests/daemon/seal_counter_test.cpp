// The counter file: only digits and one newline are a counter, and a store
// replaces the file whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "seal_counter.h"
#include "test_support.h"

namespace {

using qdtest::FileExists;
using qdtest::ReadFile;

TEST(SealCounter, ReadAcceptsDigitsAndOneNewlineAndNothingElse) {
    qdtest::ScratchDir dir;
    const std::string path = dir.file("counter");
    struct Case {
        const char* text;
        CounterRead result;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"0\n", CounterRead::kOk, 0},
        {"42\n", CounterRead::kOk, 42},
        {"18446744073709551615\n", CounterRead::kOk, UINT64_MAX},
        {"", CounterRead::kCorrupt, 0},
        {"42", CounterRead::kCorrupt, 0},
        {"42\n\n", CounterRead::kCorrupt, 0},
        {"\n", CounterRead::kCorrupt, 0},
        {" 42\n", CounterRead::kCorrupt, 0},
        {"42\r\n", CounterRead::kCorrupt, 0},
        {"-1\n", CounterRead::kCorrupt, 0},
        {"0x10\n", CounterRead::kCorrupt, 0},
        {"18446744073709551616\n", CounterRead::kCorrupt, 0},  // 2^64 must not wrap to 0
        {"000000000000000000042\n", CounterRead::kCorrupt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        qdtest::WriteFile(path, c.text);
        std::uint64_t value = 99;
        EXPECT_EQ(ReadSealCounter(path.c_str(), &value), c.result);
        if (c.result == CounterRead::kOk) {
            EXPECT_EQ(value, c.value);
        }
    }
    std::uint64_t value = 99;
    EXPECT_EQ(ReadSealCounter(dir.file("missing").c_str(), &value), CounterRead::kOk);
    EXPECT_EQ(ReadExistingSealCounter(dir.file("missing").c_str(), &value), CounterRead::kMissing);
    EXPECT_EQ(value, 0u) << "no file yet: nothing installed with a counter";
    EXPECT_EQ(ReadSealCounter(dir.path().c_str(), &value), CounterRead::kUnreadable);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(ReadSealCounter(dir.file("fifo").c_str(), &value), CounterRead::kUnreadable);
}

// A counter kept on another partition through a link stays there: the link
// is resolved, the new value written and renamed beside its target. A link
// to nothing or a missing directory is never a first counter of 0.
TEST(SealCounter, ALinkIsFollowedToItsTargetAndADanglingOneIsUnreachable) {
    qdtest::ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("kept").c_str(), 0700), 0);
    qdtest::WriteFile(dir.file("kept/counter"), "5\n");
    const std::string link = dir.file("counter");
    ASSERT_EQ(symlink("kept/counter", link.c_str()), 0);
    std::uint64_t value = 0;
    EXPECT_EQ(ReadSealCounter(link.c_str(), &value), CounterRead::kOk);
    EXPECT_EQ(value, 5u);
    ASSERT_TRUE(StoreSealCounter(link.c_str(), 7));
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_EQ(ReadFile(dir.file("kept/counter")), "7\n");
    EXPECT_FALSE(FileExists(dir.file("kept/counter.tmp")));
    EXPECT_FALSE(FileExists(link + ".tmp"));

    ASSERT_EQ(symlink("kept/absent", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink("gone/counter", dir.file("nowhere").c_str()), 0);
    for (const char* name : {"dangling", "nowhere", "nodir/counter"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        EXPECT_EQ(ReadSealCounter(path.c_str(), &value), CounterRead::kUnreachable);
        qdtest::StdoutCapture output;
        EXPECT_FALSE(StoreSealCounter(path.c_str(), 8));
        EXPECT_NE(output.Finish().find(path), std::string::npos);
    }
    EXPECT_FALSE(FileExists(dir.file("kept/absent")));
    EXPECT_FALSE(FileExists(dir.file("gone")));
}

TEST(SealCounter, StoreReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    qdtest::ScratchDir dir;
    const std::string path = dir.file("counter");
    ASSERT_TRUE(StoreSealCounter(path.c_str(), 7));
    EXPECT_EQ(ReadFile(path), "7\n");

    // A temporary file left by a power cut, here a planted link, is
    // replaced without writing through it.
    qdtest::WriteFile(dir.file("victim"), "keep");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), (path + ".tmp").c_str()), 0);
    ASSERT_TRUE(StoreSealCounter(path.c_str(), UINT64_MAX));
    std::uint64_t value = 0;
    EXPECT_EQ(ReadSealCounter(path.c_str(), &value), CounterRead::kOk);
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_EQ(ReadFile(dir.file("victim")), "keep");
    EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST(SealCounter, StoreThatCannotWriteSaysSoAndKeepsTheOldValue) {
    qdtest::ScratchDir dir;
    const std::string path = dir.file("counter");
    ASSERT_TRUE(StoreSealCounter(path.c_str(), 3));
    qdtest::StdoutCapture output;
    EXPECT_FALSE(StoreSealCounter(dir.file("no/such/dir/counter").c_str(), 4));
    // A directory in the file's place cannot be replaced by a rename.
    ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("taken/x").c_str(), 0700), 0);
    EXPECT_FALSE(StoreSealCounter(dir.file("taken").c_str(), 4));
    const std::string log = output.Finish();
    EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
    EXPECT_NE(log.find(dir.file("taken")), std::string::npos) << log;
    EXPECT_FALSE(FileExists(dir.file("taken.tmp")));
    EXPECT_EQ(ReadFile(path), "3\n");
}

}  // namespace
