#include <sys/stat.h>

#include <string>

#include "etc_fixture.h"
#include "etc_internal.h"

namespace {

using qdtest::FileExists;
using qdtest::ReadFile;
using qdtest::WriteFile;

TEST_F(EtcFileTest, NewFileHoldsExactlyHeaderAndKey) {
    EXPECT_EQ(EtcSaveValueFile("n.ini", "net", "a", "1"), 0);
    EXPECT_EQ(ReadFile("n.ini"), "[net]\na=1\n");
    EXPECT_EQ(EtcSaveValueFile("top.ini", nullptr, "a", "1"), 0);
    EXPECT_EQ(ReadFile("top.ini"), "a=1\n");
    EXPECT_EQ(EtcSaveIntValueFile("i.ini", "s", "n", -5), 0);
    EXPECT_EQ(Get("i.ini", "s", "n"), "0:-5");
}

TEST_F(EtcFileTest, ReplacesKeyAndNormalisesOnlyTheLinesAboveIt) {
    const std::string others = "[top]\n  x = 1 ; r\n\n# c\n";
    const std::string below = "# below\nz = 9\n\n[other]\n a = 5 \n";
    EXPECT_EQ(Saved(others + "[net]\n# c\n\nb = 2\nflag ; remark\n=novalue\n   \na = 5\n" + below,
                    "net", "a", "1"),
              others + "[net]\nb= 2\nflag=\na=1\n" + below);
}

TEST_F(EtcFileTest, MissingKeyEndsItsSection) {
    EXPECT_EQ(Saved("[net]\nb=2\n# gone\n[x]\ny=1\n", "net", "a", "1"),
              "[net]\nb=2\na=1\n\n[x]\ny=1\n");
    EXPECT_EQ(Saved("[x]\ny=1\n[net]\nb=2", "net", "a", "1"), "[x]\ny=1\n[net]\nb=2\na=1\n\n");
    EXPECT_EQ(Saved("top=1\n[s]\ntop=2\n", nullptr, "new", "1"), "top=1\nnew=1\n\n[s]\ntop=2\n");
}

TEST_F(EtcFileTest, MissingSectionIsAppended) {
    EXPECT_EQ(Saved("[x]\ny=1\n", "net", "a", "1"), "[x]\ny=1\n\n[net]\na=1\n");
    EXPECT_EQ(Saved("[x]\ny=1", "net", "a", "1"), "[x]\ny=1\n[net]\na=1\n");
}

TEST_F(EtcFileTest, OnlyFirstDuplicateIsReplacedAndSavingAgainChangesNothing) {
    const std::string once = Saved("[net]\na=5\na=6\n[net]\na=7\n", "net", "a", " v ; x");
    EXPECT_EQ(once, "[net]\na= v ; x\na=6\n[net]\na=7\n");
    EXPECT_EQ(Get("t.ini", "net", "a"), "0: v ; x");
    EXPECT_EQ(EtcSaveValueFile("t.ini", "net", "a", " v ; x"), 0);
    EXPECT_EQ(ReadFile("t.ini"), once);
}

TEST_F(EtcFileTest, FileKeepsInodeAndModeAndStrayScratchIsRemoved) {
    WriteFile("etc0.ini", "stale scratch\n");
    WriteFile("t.ini", "[s]\nk=1\n");
    ASSERT_EQ(::chmod("t.ini", 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat("t.ini", &before), 0);
    EXPECT_EQ(EtcSaveValueFile("t.ini", "s", "k", "2"), 0);
    struct stat after {};
    ASSERT_EQ(::stat("t.ini", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_FALSE(FileExists("etc0.ini"));
    EXPECT_EQ(ReadFile("t.ini"), "[s]\nk=2\n");
}

TEST_F(EtcFileTest, SavingTheScratchNameItselfDoesNotEmptyIt) {
    WriteFile("etc0.ini", "[s]\nk=1\nother=2\n");
    EXPECT_EQ(EtcSaveValueFile("./etc0.ini", "s", "k", "9"), 0);
    EXPECT_EQ(ReadFile("etc0.ini"), "[s]\nk=9\nother=2\n");
    EXPECT_FALSE(FileExists("etc1.ini"));
}

TEST_F(EtcFileTest, LongLinesAreKeptOrDroppedWhole) {
    const std::string longKey = "long=" + std::string(1100, 'x');
    const std::string longRemark = "# " + std::string(1100, 'y') + "=z";
    const std::string longHeader = "[" + std::string(1100, 'h') + "]";
    // Exactly one piece long: still an ordinary line, normalised.
    const std::string exact = std::string(etcfile::kPieceChars - 4, 'e');
    EXPECT_EQ(Saved("[net]\n" + longKey + "\n" + longRemark + "\ne = " + exact + "\na=5\n", "net",
                    "a", "1"),
              "[net]\n" + longKey + "\ne= " + exact + "\na=1\n");
    EXPECT_EQ(Saved("[net]\na=" + std::string(2000, 'v') + "\nb=2\n", "net", "a", "1"),
              "[net]\na=1\nb=2\n");
    EXPECT_EQ(Saved("[net]\nb=2\n" + longHeader + "\nq=1\n", "net", "a", "1"),
              "[net]\nb=2\na=1\n\n" + longHeader + "\nq=1\n");
}

}  // namespace
