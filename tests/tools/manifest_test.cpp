// The manifest reader's rules below the command line: a mistake in a
// manifest must be refused with its line, never turned into a package that
// installs something else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest.h"
#include "test_support.h"

namespace qdtest {
namespace {

class ManifestTest : public ::testing::Test {
  protected:
    ManifestTest() { WriteFile(dir_.file("a.bin"), "data"); }

    std::string Write(const std::string& text) {
        WriteFile(dir_.file("m.ini"), text);
        return dir_.file("m.ini");
    }

    // The refusal's text, or "accepted".
    std::string Refusal(const std::string& text) {
        try {
            (void)qdupk::ReadManifest(Write(text));
        } catch (const qdupk::Error& e) {
            return e.what();
        }
        return "accepted";
    }

    ScratchDir dir_;
};

const char kPackage[] = "[package]\nname=n\nversion=1\ndevid=D\n";
const char kItem1[] = "[item1]\ntype=file\nsource=a.bin\n";

TEST_F(ManifestTest, BlanksAroundKeysAndValuesAndLineEndsDoNotCount) {
    const qdupk::PackagePlan plan = qdupk::ReadManifest(
        Write("; made on another machine\r\n[package]\r\n  name = Dome fw \r\nversion\t=\t2\r\n"
              "devid=D\r\n\r\n[item2]\ntype = script \nsource= a.bin\ndesc = two words \n"
              "[ item1 ]\n type=file\nsource=a.bin\ndest = /opt/x\nreboot = Yes\n"));
    EXPECT_EQ(plan.name, "Dome fw");
    EXPECT_EQ(plan.version, "2");
    EXPECT_EQ(plan.devId, "D");
    ASSERT_EQ(plan.items.size(), 2u);
    EXPECT_EQ(plan.items[0].destination, "/opt/x");
    EXPECT_EQ(plan.items[0].rebootFlag, 1);
    EXPECT_EQ(plan.items[0].sourcePath, dir_.file("a.bin"));
    EXPECT_EQ(plan.items[1].description, "two words");
    EXPECT_EQ(plan.items[1].rebootFlag, 0);
}

TEST_F(ManifestTest, BooleansTakeTheUsualSpellingsAndNothingElse) {
    for (const char* yes : {"1", "yes", "YES", "true", "True", "on", "ON"}) {
        EXPECT_EQ(qdupk::ParseBoolean(yes), std::optional<bool>(true)) << yes;
    }
    for (const char* no : {"0", "no", "No", "false", "FALSE", "off", "Off"}) {
        EXPECT_EQ(qdupk::ParseBoolean(no), std::optional<bool>(false)) << no;
    }
    for (const char* neither : {"", "2", "-1", "y", "n", "yes please", "01", "nein"}) {
        EXPECT_EQ(qdupk::ParseBoolean(neither), std::nullopt) << neither;
    }
}

TEST_F(ManifestTest, NearestNameSuggestsOnlyCloseNames) {
    const std::vector<std::string> keys = {"type", "source", "dest", "devid", "desc", "reboot"};
    EXPECT_EQ(qdupk::NearestName("destination", keys), "dest");
    EXPECT_EQ(qdupk::NearestName("sorce", keys), "source");
    EXPECT_EQ(qdupk::NearestName("Type", keys), "type");
    EXPECT_EQ(qdupk::NearestName("reboots", keys), "reboot");
    EXPECT_EQ(qdupk::NearestName("sourec", keys), "source");
    EXPECT_EQ(qdupk::NearestName("name", keys), "");
    EXPECT_EQ(qdupk::NearestName("x", keys), "");
}

// Each of these was once ignored or misread without a word.
TEST_F(ManifestTest, MistakesAreRefusedWithTheirLine) {
    struct Case {
        std::string text;
        const char* message;
    };
    const std::string package = kPackage;
    const std::string item1 = kItem1;
    const Case cases[] = {
        {"", "m.ini has no [package] section"},
        {"; nothing but a remark\n", "has no [package] section"},
        {package + item1 + "destination=/x\n",
         "line 8: [item1] unknown key \"destination\" (did you mean \"dest\"?)"},
        {package + item1 + "src=a.bin\n", "unknown key \"src\" (known: type, source, dest"},
        {"[package]\nname=n\nversion=1\ndevid=D\nreboot=1\n" + item1,
         "line 5: [package] unknown key \"reboot\""},
        {package + item1 + "[item3]\ntype=file\nsource=a.bin\n",
         "line 8: [item3] but no [item2]: items are numbered"},
        {package + "[item2]\ntype=file\nsource=a.bin\n", "line 5: [item2] but no [item1]"},
        {package + item1 + "[item1]\ntype=app\nsource=a.bin\n",
         "line 8: [item1] appears twice (first on line 5)"},
        {package + "[package]\n" + item1, "line 5: [package] appears twice"},
        {package + item1 + "type=app\n", "line 8: [item1] type is given twice (first on line 6)"},
        {package + item1 + "[Item2]\n", "unknown section \"Item2\" (did you mean \"item2\"?)"},
        {package + item1 + "[item0]\n", "unknown section \"item0\""},
        {package + item1 + "[item02]\n", "unknown section \"item02\""},
        {package + item1 + "[files]\n", "unknown section \"files\""},
        {"name=n\n" + package + item1, "line 1: key \"name\" stands above the first section"},
        {package + item1 + "reboot\n", "line 8: \"reboot\" is neither a [section] header"},
        {package + item1 + "=yes\n", "line 8: a value without a key"},
        {package + item1 + "[]\n", "line 8: a section header without a name"},
        {package + item1 + "desc=" + std::string(1100, 'd') + "\n",
         "line 8: the line is longer than 1023 characters"},
        {package + item1 + "reboot=2\n", "line 8: [item1] reboot \"2\" is not yes or no"},
        {package + item1 + "reboot=\n", "[item1] reboot \"\" is not yes or no"},
        {package + "[item1]\ntype=file\n", "[item1] source is missing"},
        {package, "no items ([item1] is missing)"},
        // A remark after a value would become part of what is installed.
        {package + item1 + "dest=/opt/x ; old path\n",
         "line 8: [item1] dest \"/opt/x ; old path\" holds a remark"},
        {package + "[item1]\ntype=file\t# plain\nsource=a.bin\n", "line 6: [item1] type"},
        {"[package]\nname=n\nversion=1 ;beta\ndevid=D\n" + item1, "line 3: [package] version"},
        {package + item1 + "reboot=yes # later\n", "line 8: [item1] reboot"},
        {package + item1 + "dest=opt/x\n", "line 8: [item1] dest \"opt/x\" is a relative path"},
    };
    for (const Case& c : cases) {
        const std::string refusal = Refusal(c.text);
        EXPECT_NE(refusal.find(c.message), std::string::npos) << c.text << "\n" << refusal;
    }
}

// Taken, but with a word: the remark stays in the description, and a
// flash image's dest names no place the image goes.
TEST_F(ManifestTest, RemarksInDescAndDestOnFlashImagesAreWarnedNotRefused) {
    std::vector<std::string> warnings;
    const qdupk::PackagePlan plan = qdupk::ReadManifest(
        Write(std::string(kPackage) + "[item1]\ntype=kernel\nsource=a.bin\ndest=/tmp/k\n" +
              "desc=Linux kernel ; 5.10\n[item2]\ntype=file\nsource=a.bin\n" +
              "dest=/opt/a;b#c\ndesc=x;y\n"),
        &warnings);
    ASSERT_EQ(plan.items.size(), 2u);
    EXPECT_EQ(plan.items[0].description, "Linux kernel ; 5.10");
    EXPECT_EQ(plan.items[0].destination, "/tmp/k");
    EXPECT_EQ(plan.items[1].destination, "/opt/a;b#c");
    ASSERT_EQ(warnings.size(), 2u) << ::testing::PrintToString(warnings);
    EXPECT_NE(warnings[0].find("line 9: [item1] desc \"Linux kernel ; 5.10\" is kept"),
              std::string::npos)
        << warnings[0];
    EXPECT_NE(warnings[1].find("line 8: [item1] dest is only a temporary file for a kernel"),
              std::string::npos)
        << warnings[1];
}

TEST_F(ManifestTest, AFileThatIsNoManifestIsNamedAsSuch) {
    for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
             {dir_.file("none.ini"), "none.ini: no such file"},
             {dir_.path(), " is a directory, not a manifest file"},
             {"/dev/null", "/dev/null is not a regular file"}}) {
        try {
            (void)qdupk::ReadManifest(path);
            ADD_FAILURE() << path << " was read";
        } catch (const qdupk::Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// The manifests shipped with the tree must stay valid under the strict
// reader.
TEST_F(ManifestTest, TheExampleManifestIsAccepted) {
    const std::string example = std::string(QD_SOURCE_DIR) + "/tools/qdupk/examples/manifest.ini";
    const std::vector<qdupk::ManifestSection> sections = qdupk::ListManifest(example);
    ASSERT_EQ(sections.size(), 5u);
    EXPECT_EQ(sections[0].name, "package");
    EXPECT_EQ(sections[1].keys.front().name, "type");
    EXPECT_EQ(qdupk::ReadManifest(example).items.size(), 4u);
}

}  // namespace
}  // namespace qdtest
