// Saves that once lost their value: inputs found by fuzzing the library.
#include <string>

#include "etc_fixture.h"

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

}  // namespace
