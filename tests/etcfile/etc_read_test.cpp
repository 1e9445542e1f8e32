#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "etc_fixture.h"
#include "etc_internal.h"

namespace {

TEST(EtcGrammar, SectionHeaderForms) {
    for (const char* header :
         {"[net]", "[ net ]", "[net", "[net] ; remark", "[net;x]", " \t[net#x"}) {
        std::string line = header;
        const char* name = etcfile::get_section_name(line.data());
        ASSERT_NE(name, nullptr) << header;
        EXPECT_STREQ(name, "net") << header;
    }
    std::string spaced = "[ a b\t]";
    EXPECT_STREQ(etcfile::get_section_name(spaced.data()), "a b");
    std::string keyLine = "k=[net]";
    EXPECT_EQ(etcfile::get_section_name(keyLine.data()), nullptr);
    EXPECT_EQ(etcfile::get_section_name(nullptr), nullptr);
}

TEST(EtcGrammar, KeyLineSplitsAtFirstEquals) {
    struct Case {
        const char* line;
        const char* key;
        const char* value;
    };
    for (const Case& c : {Case{"  key = value ; note", "key", " value ; note"},
                          Case{"key", "key", ""}, Case{"key ; note", "key", ""},
                          Case{"a=b=c", "a", "b=c"}, Case{"=x", "", "x"}, Case{"k=v\n", "k", "v"},
                          Case{"k=  ", "k", "  "}, Case{"two words\t=1", "two words", "1"}}) {
        std::string line = c.line;
        char* key = nullptr;
        char* value = nullptr;
        ASSERT_EQ(etcfile::get_key_value(line.data(), &key, &value), 0) << c.line;
        EXPECT_STREQ(key, c.key) << c.line;
        EXPECT_STREQ(value, c.value) << c.line;
    }
    for (const char* other : {"; c", "# c", "", "  \t", "\n"}) {
        std::string line = other;
        EXPECT_EQ(etcfile::get_key_value(line.data(), nullptr, nullptr), -1) << other;
    }
    std::string header = "  [s";
    EXPECT_EQ(etcfile::get_key_value(header.data(), nullptr, nullptr), 1);
    EXPECT_EQ(etcfile::get_key_value(nullptr, nullptr, nullptr), -1);
}

TEST_F(EtcFileTest, ValuesComeBackAsWrittenWithOneTrailingCharTrimmed) {
    qdtest::WriteFile("v.ini",
                      "[ net ] ; remark\n"
                      "# comment\n\n"
                      "  key = value ; note\nflag\nflag2 ; note\na=b=c\ncrlf=value\r\n"
                      "blanks=value  \ntabs=ab\t\t\nempty=\n");
    EXPECT_EQ(Get("v.ini", "net", "key"), "0: value ; note");
    EXPECT_EQ(Get("v.ini", "net", "flag"), "0:");
    EXPECT_EQ(Get("v.ini", "net", "flag2"), "0:");
    EXPECT_EQ(Get("v.ini", "net", "a"), "0:b=c");
    EXPECT_EQ(Get("v.ini", "net", "crlf"), "0:value");
    EXPECT_EQ(Get("v.ini", "net", "blanks"), "0:value ");
    EXPECT_EQ(Get("v.ini", "net", "tabs"), "0:ab\t");
    EXPECT_EQ(Get("v.ini", "net", "empty"), "0:");
    EXPECT_EQ(Get("v.ini", "Net", "key"), "-2:");
}

TEST_F(EtcFileTest, LookupStaysInFirstOccurrenceOfSection) {
    qdtest::WriteFile("l.ini",
                      "top=0\n[s]\nk=1\nk=2\n[t]\nonly_t=2\n[s]\nlater=3\n[u\nunclosed=4\n");
    EXPECT_EQ(Get("l.ini", "s", "k"), "0:1");
    EXPECT_EQ(Get("l.ini", "s", "only_t"), "-3:");
    EXPECT_EQ(Get("l.ini", "s", "later"), "-3:");
    EXPECT_EQ(Get("l.ini", "s", "top"), "-3:");
    EXPECT_EQ(Get("l.ini", "u", "unclosed"), "0:4");
    EXPECT_EQ(Get("l.ini", nullptr, "top"), "0:0");
    EXPECT_EQ(Get("l.ini", nullptr, "k"), "-3:");
    EXPECT_EQ(Get("missing.ini", "s", "k"), "-1:");
    EXPECT_EQ(Get("l.ini", "none", "k"), "-2:");
}

TEST_F(EtcFileTest, LongValueIsCutToILenAndTrimmedAfterTheCut) {
    qdtest::WriteFile("c.ini", "[s]\nv=abcdef\nw=ab cd\n");
    char buf[8];
    std::memset(buf, '@', sizeof buf);
    ASSERT_EQ(EtcGetValueFile("c.ini", "s", "v", buf, 3), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], '@');  // nothing beyond iLen + 1 bytes
    EXPECT_EQ(Get("c.ini", "s", "w", 3), "0:ab");
}

TEST_F(EtcFileTest, IntegersUseBaseDetectionAndKeepLow32Bits) {
    qdtest::WriteFile("i.ini",
                      "[n]\nhex=0x1F\noct=010\nbad_oct=08\nlead= 42\ntail=12abc\n"
                      "neg=-1\nwrap=4294967295\nempty=\nhuge=99999999999999999999\n");
    const std::pair<const char*, int> cases[] = {{"hex", 31},  {"oct", 8},   {"bad_oct", 0},
                                                 {"lead", 42}, {"tail", 12}, {"neg", -1},
                                                 {"wrap", -1}, {"empty", 0}, {"huge", -1}};
    for (const auto& [key, want] : cases) {
        int value = 12345;
        EXPECT_EQ(EtcGetIntValueFile("i.ini", "n", key, &value), 0) << key;
        EXPECT_EQ(value, want) << key;
    }
    int untouched = 7;
    EXPECT_EQ(EtcGetIntValueFile("i.ini", "n", "none", &untouched), -3);
    EXPECT_EQ(EtcGetIntValueFile("i.ini", "x", "hex", &untouched), -2);
    EXPECT_EQ(EtcGetIntValueFile("none.ini", "n", "hex", &untouched), -1);
    EXPECT_EQ(untouched, 7);
}

// Saves keep such a line whole; a tail read as a line of its own could hold
// a key or header that the save never sees.
TEST_F(EtcFileTest, LineOverOnePieceIsOneLineReadOnlyAsFarAsOnePiece) {
    const std::string head = "long=" + std::string(etcfile::kPieceChars - 5, 'x');
    qdtest::WriteFile("p.ini", "[s]\n" + head + "tail=7\n[t]" + head + "[s]\nk=1\n");
    EXPECT_EQ(Get("p.ini", "s", "long"), "0:" + head.substr(5));
    EXPECT_EQ(Get("p.ini", "s", "tail"), "-3:");
    EXPECT_EQ(Get("p.ini", "t", "k"), "0:1");
}

// The walk must classify lines exactly as the lookups do, or a reader built
// on it (the manifest reader) would see another file than EtcGetValueFile.
TEST_F(EtcFileTest, WalkSeesEveryLineAsTheLookupsDo) {
    const std::string head = "long=" + std::string(etcfile::kPieceChars - 5, 'x');
    qdtest::WriteFile("w.ini", "top=1\n; remark\n\n [ s ] ; note\n k = v \nbare\n" + head +
                                   "[t]\n[u\n=x\n#k=2\nlast=z");
    std::vector<std::string> seen;
    const auto visit = [](void* context, const etcfile::EtcLine& line) {
        const char* kind = line.kind == etcfile::EtcLineKind::kSection ? "[" : "";
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::to_string(line.number) + kind + line.name + (line.hasEquals ? "=" : "") +
            (line.cut ? std::string("cut") : line.value));
        return true;
    };
    EXPECT_EQ(etcfile::etc_ForEachLine("w.ini", visit, &seen), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"1top=1", "4[s", "5k= v ", "6bare", "7long=cut",
                                              "8[u", "9=x", "11last=z"}));
    EXPECT_EQ(Get("w.ini", "s", "k"), "0: v");

    seen.clear();
    const auto stop = [](void* context, const etcfile::EtcLine& line) {
        static_cast<std::vector<std::string>*>(context)->push_back(line.name);
        return false;
    };
    EXPECT_EQ(etcfile::etc_ForEachLine("w.ini", stop, &seen), 0);
    EXPECT_EQ(seen, std::vector<std::string>{"top"});
    EXPECT_EQ(etcfile::etc_ForEachLine("missing.ini", stop, &seen), -1);
    EXPECT_EQ(etcfile::etc_ForEachLine("/proc/self/mem", stop, &seen), -5);
}

TEST_F(EtcFileTest, ReadErrorsCountAsNotFound) {
    EXPECT_EQ(Get(dir_.path().c_str(), "s", "k"), "-2:");
    EXPECT_EQ(Get(dir_.path().c_str(), nullptr, "k"), "-3:");
    // Reading the process's own memory at offset 0 fails with EIO.
    EXPECT_EQ(Get("/proc/self/mem", "s", "k"), "-2:");
}

}  // namespace
