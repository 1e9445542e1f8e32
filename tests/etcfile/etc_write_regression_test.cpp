// Saves that once lost their value: inputs found by fuzzing the library.
#include <string>

#include "etc_fixture.h"
#include "etc_internal.h"

namespace {

// A header (or a long line kept whole) that ends the file without a newline
// once had the new key glued onto it: the save reported 0 and the key was
// gone.
TEST_F(EtcFileTest, KeyAddedAfterLastLineWithoutNewlineStartsALineOfItsOwn) {
    EXPECT_EQ(Saved("[net]", "net", "a", "1"), "[net]\na=1\n\n");
    EXPECT_EQ(Get("t.ini", "net", "a"), "0:1");

    const std::string longLine = "long=" + std::string(1100, 'y');
    EXPECT_EQ(Saved("[s]\n" + longLine, "s", "k", "v"), "[s]\n" + longLine + "\nk=v\n\n");
    EXPECT_EQ(Get("t.ini", "s", "k"), "0:v");
}

// A header longer than one read lost its line end when its tail was
// dropped as a blank line; the next key line was glued onto the header.
TEST_F(EtcFileTest, LongHeaderIsCopiedWhole) {
    const std::string header = "[net]" + std::string(1100, ' ');
    EXPECT_EQ(Saved(header + "\nb=2\n[x]\nc=3\n", "net", "a", "1"),
              header + "\nb=2\na=1\n\n[x]\nc=3\n");
    EXPECT_EQ(Saved(header, "net", "a", "1"), header + "\na=1\n\n");
}

// The reader once split a long line where the writer kept it whole: a key
// in the tail of a long line read as an entry of its own, so a save that
// reported 0 still read back the old value; and a saved line too long to be
// read back whole came back cut.
TEST_F(EtcFileTest, ReaderAndWriterAgreeAboutLongLines) {
    const std::string tailed = "x=" + std::string(etcfile::kPieceChars - 2, 'y') + "k=old";
    EXPECT_EQ(Get("t.ini", "s", "k"), "-1:");
    EXPECT_EQ(Saved("[s]\n" + tailed + "\n", "s", "k", "new"), "[s]\n" + tailed + "\nk=new\n\n");
    EXPECT_EQ(Get("t.ini", "s", "k"), "0:new");
    EXPECT_EQ(Get("t.ini", "s", "x", 2000), "0:" + tailed.substr(2, etcfile::kPieceChars - 2));

    const std::string fits(etcfile::kPieceChars - 2, 'v');
    EXPECT_EQ(EtcSaveValueFile("t.ini", "s", "k", fits.c_str()), 0);
    EXPECT_EQ(Get("t.ini", "s", "k", 2000), "0:" + fits);
    const std::string before = qdtest::ReadFile("t.ini");
    EXPECT_EQ(EtcSaveValueFile("t.ini", "s", "k", (fits + "v").c_str()), -5);
    EXPECT_EQ(EtcSaveValueFile("t.ini", std::string(etcfile::kPieceChars, 'h').c_str(), "k", "1"),
              -5);
    EXPECT_EQ(qdtest::ReadFile("t.ini"), before);
    EXPECT_EQ(EtcSaveValueFile("n.ini", "s", fits.c_str(), "12"), -5);
    EXPECT_FALSE(qdtest::FileExists("n.ini"));
}

}  // namespace
