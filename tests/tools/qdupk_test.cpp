// The qdupk tool end to end: pack, info and verify as a user runs them, and
// the tool's verdict against the device library's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "libqdupdate.h"
#include "package_reader.h"
#include "package_writer.h"
#include "qd_hex.h"
#include "target_exec.h"
#include "test_support.h"

namespace qdtest {
namespace {

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string Md5Hex(const std::string& data) {
    unsigned char md5[16];
    MD5_CTX ctx;
    libqdupk_MD5Init(&ctx);
    libqdupk_MD5Update(&ctx, reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<unsigned int>(data.size()));
    libqdupk_MD5Final(&ctx, md5);
    std::array<unsigned char, 16> digest{};
    std::copy(std::begin(md5), std::end(md5), digest.begin());
    return qd::HexString(digest);
}

class QdupkTest : public ::testing::Test {
  protected:
    Result Run(const std::vector<std::string>& args) {
        const std::string command = qdtest::TargetShellCommand(QDUPK_EXE, args);
        const std::string out = dir_.file("stdout");
        const std::string err = dir_.file("stderr");
        const int status = std::system((command + " >" + out + " 2>" + err).c_str());
        Result r;
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    // A manifest of three items; `extra` is appended, `package` replaces
    // the [package] section's lines.
    std::string Manifest(const std::string& items, const std::string& package = "") {
        WriteFile(dir_.file("kernel.img"), kernel_);
        WriteFile(dir_.file("setup.sh"), "echo set up\n");
        WriteFile(dir_.file("app.conf"), "key=value\n");
        const std::string text = "[package]\n" +
                                 (package.empty() ? "name=Dome firmware\nversion=V3.1.4\n"
                                                    "devid=IPC-D1\n"
                                                  : package) +
                                 items;
        WriteFile(dir_.file("manifest.ini"), text);
        return dir_.file("manifest.ini");
    }

    std::string ThreeItems() const {
        return "[item1]\ntype=kernel\nsource=kernel.img\ndesc=Kernel\nreboot=1\n"
               "[item2]\ntype=10\nsource=setup.sh\n"
               "[item3]\ntype=file\nsource=app.conf\ndest=" +
               dir_.file("installed/app.conf") + "\ndesc=Settings\ndevid=IPC-D1\n";
    }

    bool OutputLeftovers() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            if (entry.path().filename().string().rfind("out.upg", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    ScratchDir dir_;
    std::string kernel_ = std::string(5000, 'k') + "tail";
    std::string out_ = dir_.file("out.upg");
};

std::vector<std::string> g_installed;

int RecordType(const char* path, const char*, QDUPK_ITEM_TYPE type, const char*, const char*, int) {
    g_installed.push_back(std::to_string(static_cast<int>(type)) + ":" + ReadFile(path));
    return 0;
}

TEST_F(QdupkTest, PackInfoVerifyRoundTripInstallsOnTheDevice) {
    Result r = Run({"pack", Manifest(ThreeItems()), "-o", out_});
    ASSERT_EQ(r.exit, 0) << r.err;

    r = Run({"info", out_});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(
        r.out.find("Package:  Dome firmware\nVersion:  V3.1.4\nDevice:   IPC-D1\nItems:    3"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1      kernel          5004  " + Md5Hex(kernel_)), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("script"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(dir_.file("installed/app.conf")), std::string::npos) << r.out;

    r = Run({"verify", out_});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_NE(r.out.find(": OK: "), std::string::npos);
    r = Run({"verify", out_, "--devid", "IPC-D1"});
    EXPECT_EQ(r.exit, 0) << r.out;
    r = Run({"verify", out_, "--devid", "IPC-D2"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("REJECTED: the package is for device \"IPC-D1\""), std::string::npos);

    std::filesystem::create_directory(dir_.file("installed"));
    g_installed.clear();
    StdoutCapture quiet;
    EXPECT_EQ(libqdupk_update(out_.c_str(), "IPC-D1", dir_.path().c_str(), RecordType), 0);
    quiet.Finish();
    EXPECT_EQ(g_installed,
              (std::vector<std::string>{"1:" + kernel_, "10:echo set up\n", "12:key=value\n"}));
    EXPECT_EQ(ReadFile(dir_.file("installed/app.conf")), "key=value\n");
}

TEST_F(QdupkTest, SameInputsGiveTheSameBytes) {
    const std::string manifest = Manifest(ThreeItems());
    ASSERT_EQ(Run({"pack", manifest, "-o", out_}).exit, 0);
    const std::string first = ReadFile(out_);
    ASSERT_EQ(Run({"pack", manifest, "--output", dir_.file("again.upg")}).exit, 0);
    EXPECT_EQ(ReadFile(dir_.file("again.upg")), first);
}

TEST_F(QdupkTest, RefusedManifestsLeaveNoOutput) {
    const std::string longText(128, 'n');
    struct Case {
        std::string items;
        std::string package;
        const char* message;
    };
    const Case cases[] = {
        {ThreeItems(), "name=" + longText + "\nversion=1\ndevid=X\n",
         "[package] name is longer than 127 characters"},
        {"[item1]\ntype=file\nsource=app.conf\ndesc=" + longText + "\n", "",
         "[item1] desc is longer than 127 characters"},
        {"[item1]\ntype=file\nsource=empty.bin\n", "", "is empty"},
        {"[item1]\ntype=file\nsource=missing.bin\n", "", "is not a readable file"},
        {"[item1]\ntype=bootloader\nsource=app.conf\n", "", "\"bootloader\" is not one of"},
        {"[item1]\ntype=4\nsource=app.conf\n", "", "\"4\" is not one of"},
        {"[item1]\ntype=file\nsource=app.conf\nreboot=maybe\n", "", "\"maybe\" is not yes or no"},
        {"", "", "no items"},
        {ThreeItems(), "name=a\nversion=b\n", "[package] devid is missing"},
    };
    for (const Case& c : cases) {
        const std::string manifest = Manifest(c.items, c.package);
        WriteFile(dir_.file("empty.bin"), "");
        const Result r = Run({"pack", manifest, "-o", out_});
        EXPECT_EQ(r.exit, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(OutputLeftovers()) << c.message;
    }
    // An existing package is kept as it was when a new pack fails.
    WriteFile(out_, "previous");
    EXPECT_EQ(Run({"pack", Manifest(""), "-o", out_, "--force"}).exit, 1);
    EXPECT_EQ(ReadFile(out_), "previous");
    EXPECT_EQ(Run({"pack", Manifest(ThreeItems()), "-o", dir_.file("no/dir/out.upg")}).exit, 1);
}

TEST_F(QdupkTest, DamagedPackagesAreRefusedByInfoAndVerify) {
    ASSERT_EQ(Run({"pack", Manifest(ThreeItems()), "-o", out_}).exit, 0);
    std::string bytes = ReadFile(out_);
    bytes[432 + 456 + 10] ^= 0x20;  // kernel data
    WriteFile(out_, bytes);
    Result r = Run({"verify", out_});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("the data of item 1 does not match its MD5 digest"), std::string::npos)
        << r.err;
    r = Run({"info", out_});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("damaged package"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// A package is outside input: its texts must not reach the terminal raw, or
// escape sequences and line breaks could forge or hide where an item goes.
TEST_F(QdupkTest, PackageTextsReachTheTerminalEscaped) {
    qdupk::PackagePlan plan;
    plan.name = "Dome\x1b[2Jfirmware";
    plan.version = "V1\r\x7f";
    plan.devId = "IPC\nD1\xff";
    plan.items = {qdupk::DataItem(QDUPK_ITEM_FILE, "x", "/etc/app.conf\r/tmp/\x1b]0;t\x07")};
    plan.items[0].description = "back\\slash \xc3\xa9";
    WriteFile(out_, qdupk::BuildPackage(plan));

    const auto rawControl = [](const std::string& text) {
        return std::find_if(text.begin(), text.end(), [](char c) {
                   const auto byte = static_cast<unsigned char>(c);
                   return byte != '\n' && (byte < 0x20 || byte >= 0x7f);
               }) != text.end();
    };
    const Result info = Run({"info", out_});
    ASSERT_EQ(info.exit, 0) << info.err;
    EXPECT_FALSE(rawControl(info.out)) << info.out;
    for (const char* shown :
         {"Package:  Dome\\x1b[2Jfirmware\n", "Version:  V1\\x0d\\x7f\n",
          "Device:   IPC\\x0aD1\\xff\n", "/etc/app.conf\\x0d/tmp/\\x1b]0;t\\x07",
          "back\\\\slash \\xc3\\xa9\n"}) {
        EXPECT_NE(info.out.find(shown), std::string::npos) << shown << "\n" << info.out;
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"verify", out_}, {"verify", out_, "--devid", "IPC-D2"}}) {
        const Result verify = Run(args);
        const std::string shown = verify.out + verify.err;
        EXPECT_FALSE(rawControl(shown)) << shown;
        EXPECT_NE(shown.find("device \"IPC\\x0aD1\\xff\""), std::string::npos) << shown;
    }
}

// The tool's verdict must be the device's: a package passes verify exactly
// when the library would install it.
TEST_F(QdupkTest, VerifyAgreesWithTheLibrary) {
    qdupk::PackagePlan plan;
    plan.name = "n";
    plan.version = "v";
    plan.devId = "IPC-D1";
    plan.items = {qdupk::ItemPlan{QDUPK_ITEM_APP, "", "", "", 0, "", "abc"},
                  qdupk::ItemPlan{QDUPK_ITEM_KERNEL, "", "", "", 1, "", std::string(4097, 'k')}};
    const std::string good = qdupk::BuildPackage(plan);
    std::vector<std::string> variants = {good, good + "tail", good.substr(0, good.size() - 1)};
    const std::size_t item0 = 432;
    const std::vector<std::size_t> offsets = {
        20, 412, item0 + 24, item0 + 300, item0 + 436, item0 + 456 + 1, good.size() - 20};
    for (const std::size_t offset : offsets) {
        std::string b = good;
        b[offset] = static_cast<char>(b[offset] ^ 0x01);
        variants.push_back(b);
    }
    std::string unterminated = good;
    std::fill_n(&unterminated[432 + 164], 128, '\x10');
    variants.push_back(unterminated);

    for (std::size_t i = 0; i < variants.size(); ++i) {
        WriteFile(out_, variants[i]);
        for (const char* device : {"IPC-D1", "IPC-D2"}) {
            StdoutCapture quiet;
            const int ret = libqdupk_update(out_.c_str(), device, dir_.path().c_str(),
                                            [](const char*, const char*, QDUPK_ITEM_TYPE,
                                               const char*, const char*, int) { return 0; });
            quiet.Finish();
            EXPECT_EQ(qdupk::VerifyPackage(out_, std::string(device)).accepted, ret == 0)
                << "variant " << i << " on " << device;
        }
    }
}

TEST_F(QdupkTest, UsageTextAndExitCodes) {
    const Result help = Run({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_NE(help.out.find("\nExit status: 0 "), std::string::npos) << help.out;
    for (const char* command : {"keygen", "pack", "seal", "info", "verify", "search", "upload"}) {
        EXPECT_NE(help.out.find(command), std::string::npos);
        const Result r = Run({command, "--help"});
        EXPECT_EQ(r.exit, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: qdupk ") + command, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nExit status: 0 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" 2 usage"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Run({}).exit, 2);
    EXPECT_EQ(Run({"bogus"}).exit, 2);
    EXPECT_EQ(Run({"pack", "manifest.ini"}).exit, 2);
    EXPECT_EQ(Run({"verify", "x.upg", "--devid"}).exit, 2);
    EXPECT_EQ(Run({"info", "missing.upg"}).exit, 1);
}

// A missing file or a directory is not a damaged package or an empty
// manifest: the message must say which it is.
TEST_F(QdupkTest, FilesThatAreNoPackageOrManifestAreNamedAsSuch) {
    WriteFile(dir_.file("empty.upg"), "");
    const std::string missing = dir_.file("nosuch.upg");
    const std::string empty = dir_.file("empty.upg");
    for (const char* command : {"info", "verify"}) {
        for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
                 {missing, missing + ": no such file\n"},
                 {dir_.path(), dir_.path() + " is a directory, not a package\n"},
                 {empty, empty + " is empty\n"}}) {
            const Result r = Run({command, path});
            EXPECT_EQ(r.exit, 1);
            EXPECT_EQ(r.err, std::string("qdupk ") + command + ": error: " + message);
            EXPECT_EQ(r.out, "");
        }
    }
    // Something else altogether, short or long, is no damaged package.
    for (const std::string& text : {std::string("[package]\n"), std::string(600, 'x')}) {
        WriteFile(dir_.file("other.upg"), text);
        const Result info = Run({"info", dir_.file("other.upg")});
        EXPECT_EQ(info.err, "qdupk info: error: " + dir_.file("other.upg") +
                                ": not a package: no package head\n");
    }
    Result r = Run({"pack", dir_.path(), "-o", out_});
    EXPECT_EQ(r.err, "qdupk pack: error: manifest " + dir_.path() +
                         " is a directory, not a manifest file\n");
    r = Run({"pack", dir_.file("nosuch.ini"), "-o", out_});
    EXPECT_EQ(r.err, "qdupk pack: error: manifest " + dir_.file("nosuch.ini") + ": no such file\n");
    WriteFile(dir_.file("empty.ini"), "");
    r = Run({"pack", dir_.file("empty.ini"), "-o", out_});
    EXPECT_EQ(r.err, "qdupk pack: error: manifest " + dir_.file("empty.ini") +
                         " has no [package] section\n");
    EXPECT_FALSE(OutputLeftovers());
}

// A second pack onto the same name is usually a mistake in a script or a
// command line; the earlier package may already be on its way to cameras.
TEST_F(QdupkTest, PackReplacesAnExistingOutputOnlyWithForce) {
    const std::string manifest = Manifest(ThreeItems());
    WriteFile(out_, "previous");
    Result r = Run({"pack", manifest, "-o", out_});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.err, "qdupk pack: error: " + out_ + " already exists (--force replaces it)\n");
    EXPECT_EQ(ReadFile(out_), "previous");
    r = Run({"pack", manifest, "-o", out_, "--force"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(Run({"verify", out_}).exit, 0);
    r = Run({"pack", manifest, "-o", dir_.path(), "--force"});
    EXPECT_EQ(r.err, "qdupk pack: error: " + dir_.path() + " is a directory\n");
}

TEST_F(QdupkTest, VerifyJsonIsInfosObjectWithTheVerdict) {
    ASSERT_EQ(Run({"pack", Manifest(ThreeItems()), "-o", out_}).exit, 0);
    const Result info = Run({"info", "--json", out_});
    ASSERT_EQ(info.exit, 0) << info.err;
    nlohmann::json expected = nlohmann::json::parse(info.out);
    Result r = Run({"verify", "--json", out_});
    EXPECT_EQ(r.exit, 0) << r.err;
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    nlohmann::json verdict = nlohmann::json::parse(r.out);
    EXPECT_EQ(verdict["accepted"], true);
    EXPECT_EQ(verdict["package"], out_);
    EXPECT_EQ(verdict["verified_with"], nullptr);
    EXPECT_NE(verdict["message"].get<std::string>().find("all digests match"), std::string::npos);
    for (const char* added : {"accepted", "package", "message", "verified_with"}) {
        verdict.erase(added);
    }
    EXPECT_EQ(verdict, expected);
    // The same one-line shape as search --json: ", " and ": " separators.
    EXPECT_EQ(r.out.rfind("{\"accepted\": true, \"devid\": \"IPC-D1\", ", 0), 0u) << r.out;

    r = Run({"verify", "--json", out_, "--devid", "IPC-D2"});
    EXPECT_EQ(r.exit, 1);
    verdict = nlohmann::json::parse(r.out);
    EXPECT_EQ(verdict["accepted"], false);
    EXPECT_NE(verdict["message"].get<std::string>().find("is for device \"IPC-D1\""),
              std::string::npos);
    EXPECT_NE(r.err.find("REJECTED"), std::string::npos) << r.err;
    r = Run({"verify", "--json", dir_.file("nosuch.upg")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out)["accepted"], false);
}

// One mistake, one message, whichever command it is made with.
TEST_F(QdupkTest, CommandsReportTheSameMistakeAlike) {
    for (const char* command :
         {"", "keygen", "pack", "seal", "info", "verify", "search", "upload"}) {
        std::vector<std::string> args = {"--color", "x.upg"};
        if (*command != '\0') {
            args.insert(args.begin(), command);
        }
        const std::string name = *command != '\0' ? std::string("qdupk ") + command : "qdupk";
        const Result r = Run(args);
        EXPECT_EQ(r.exit, 2) << command;
        EXPECT_EQ(r.err.rfind(name + ": error: unknown option '--color'\n", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "") << command;
    }
    EXPECT_NE(Run({"info", "--jsn", "a.upg"}).err.find("(did you mean '--json'?)"),
              std::string::npos);
    EXPECT_NE(Run({"pakc"}).err.find("(did you mean 'pack'?)"), std::string::npos);
    const Result extra = Run({"info", "a.upg", "b.upg"});
    EXPECT_EQ(extra.exit, 2);
    EXPECT_EQ(extra.err.rfind("qdupk info: error: unexpected argument 'b.upg'\n", 0), 0u)
        << extra.err;
    // A repeated option overrides the earlier one, so scripts can append
    // their own value to a line of defaults.
    ASSERT_EQ(Run({"pack", Manifest(ThreeItems()), "-o", out_}).exit, 0);
    EXPECT_EQ(Run({"verify", out_, "--devid", "IPC-D2", "--devid", "IPC-D1"}).exit, 0);
    // Quiet drops what people read, never the JSON a script asked for.
    EXPECT_EQ(Run({"verify", out_, "-q"}).out, "");
    EXPECT_EQ(nlohmann::json::parse(Run({"verify", out_, "--quiet", "--json"}).out)["accepted"],
              true);
}

// Where the first item head's texts sit: after the 432-byte package head.
constexpr std::size_t kItem0Description = 432 + 164;
constexpr std::size_t kItem0Destination = 432 + 292;

// Sealed packages: what a camera holding a public key takes and refuses,
// and the key files and seals that qdupk writes for it.
class QdupkSealTest : public QdupkTest {
  protected:
    void SetUp() override {
        for (const char* name : {"a", "b"}) {
            const Result r = Run({"keygen", dir_.file(name)});
            ASSERT_EQ(r.exit, 0) << r.err;
        }
    }
    std::string Key(const char* name) const { return dir_.file(std::string(name) + ".key"); }
    std::string Pub(const char* name) const { return dir_.file(std::string(name) + ".pub"); }
    std::string OneItem() {
        return Manifest("[item1]\ntype=file\nsource=app.conf\ndest=/opt/update\n");
    }
    // The first 16 hex digits of a key file are not its id; the id is what
    // the tool reports for the key, so take it from a signed package.
    std::string KeyIdOf(const char* name) {
        const std::string pkg = dir_.file(std::string("id-") + name + ".upg");
        const Result r = Run({"pack", OneItem(), "-o", pkg, "--key", Key(name)});
        const std::size_t at = r.out.find("signed by key ");
        return at == std::string::npos ? std::string() : r.out.substr(at + 14, 16);
    }
    bool Leftovers(const std::string& prefix) const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix + ".", 0) == 0) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(QdupkSealTest, KeygenWritesKeyFilesAndNeverReplacesOrFollowsOne) {
    for (const char* name : {"a", "b"}) {
        const std::string secret = ReadFile(Key(name));
        const std::string pub = ReadFile(Pub(name));
        for (const std::string& text : {secret, pub}) {
            EXPECT_EQ(text.size(), 65u);
            EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 64u) << text;
            EXPECT_EQ(text.back(), '\n');
        }
        EXPECT_NE(secret, pub);
        struct stat info {};
        ASSERT_EQ(stat(Key(name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_NE(ReadFile(Key("a")), ReadFile(Key("b")));

    const std::string before = ReadFile(Key("a"));
    Result r = Run({"keygen", dir_.file("a")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(Key("a")), before);
    // NAME.pub alone in the way: no NAME.key is left behind.
    WriteFile(dir_.file("c.pub"), "mine\n");
    EXPECT_EQ(Run({"keygen", dir_.file("c")}).exit, 1);
    EXPECT_FALSE(FileExists(dir_.file("c.key")));
    EXPECT_EQ(ReadFile(dir_.file("c.pub")), "mine\n");
    // A dangling link planted as NAME.key must not become the secret's path.
    std::filesystem::create_symlink(dir_.file("elsewhere"), dir_.file("d.key"));
    EXPECT_EQ(Run({"keygen", dir_.file("d")}).exit, 1);
    EXPECT_FALSE(FileExists(dir_.file("elsewhere")));
    EXPECT_FALSE(FileExists(dir_.file("d.pub")));
}

TEST_F(QdupkSealTest, OnlyTheSignersKeyAndCounterPass) {
    Result r = Run({"pack", OneItem(), "-o", out_, "--key", Key("a"), "--counter", "7"});
    ASSERT_EQ(r.exit, 0) << r.err;
    const std::string idA = KeyIdOf("a");
    ASSERT_EQ(idA.size(), 16u);
    EXPECT_NE(idA, KeyIdOf("b"));

    r = Run({"verify", out_, "--pubkey", Pub("a")});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("signed by key " + idA + ", counter 7"), std::string::npos) << r.out;
    // Two slots, as a camera in the middle of a key rotation holds them.
    EXPECT_EQ(Run({"verify", out_, "--pubkey", Pub("b"), "--pubkey", Pub("a")}).exit, 0);
    EXPECT_EQ(Run({"verify", out_}).exit, 0);
    EXPECT_EQ(Run({"verify", out_, "--pubkey", Pub("a"), "--min-counter", "7"}).exit, 0);

    struct Refusal {
        std::vector<std::string> options;
        std::string reason;
    };
    const Refusal refusals[] = {
        {{"--pubkey", Pub("b")}, "the package is signed by an unknown key: key " + idA},
        {{"--pubkey", Pub("a"), "--min-counter", "8"}, "rollback: the package's counter 7"},
    };
    for (const Refusal& refusal : refusals) {
        std::vector<std::string> args = {"verify", out_};
        args.insert(args.end(), refusal.options.begin(), refusal.options.end());
        r = Run(args);
        EXPECT_EQ(r.exit, 1) << refusal.reason;
        EXPECT_NE(r.err.find("REJECTED: " + refusal.reason), std::string::npos) << r.err;
    }

    // Unsigned, and sealed without any signature at all: no key takes them.
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_, "--force"}).exit, 0);
    r = Run({"verify", out_, "--pubkey", Pub("a")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("the seal is unsigned"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"verify", out_, "--min-counter", "1"}).exit, 1);
}

// A placeholder key would take seals anyone can forge: no key file with
// one is read, by verify or anything else that loads public keys.
TEST_F(QdupkSealTest, SmallOrderAndNonCanonicalPublicKeysAreRefused) {
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_, "--key", Key("a")}).exit, 0);
    for (const std::string& hex :
         {std::string(64, '0'), "01" + std::string(62, '0'), "ee" + std::string(60, 'f') + "7f"}) {
        WriteFile(dir_.file("weak.pub"), hex + "\n");
        const Result r = Run({"verify", out_, "--pubkey", dir_.file("weak.pub")});
        EXPECT_EQ(r.exit, 1) << hex;
        EXPECT_NE(r.err.find("weak.pub is no usable public key"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(QdupkSealTest, InfoShowsTheSeal) {
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_, "--key", Key("b"), "--counter", "42"}).exit, 0);
    const std::string id = KeyIdOf("b");
    Result r = Run({"info", out_});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("Seal:     sealed, signed by key " + id + ", counter 42\n"),
              std::string::npos)
        << r.out;
    r = Run({"info", "--json", out_});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("\"seal\": {\"counter\": 42, \"key_id\": \"" + id +
                         "\", \"state\": \"signed\"}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"destination\": \"/opt/update\""), std::string::npos) << r.out;
}

// The identity cameras record: the SHA-256 of the bytes before the seal,
// so sealing, re-signing and an unsealed copy of the same package all name
// one package.
TEST_F(QdupkSealTest, InfoShowsTheIdentityCamerasRecord) {
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_, "--key", Key("a")}).exit, 0);
    const std::string sealed = ReadFile(out_);
    const std::string bare = dir_.file("bare.upg");
    WriteFile(bare, sealed.substr(0, sealed.size() - 128));
    const std::string digest = dir_.file("digest");
    ASSERT_EQ(std::system(("sha256sum " + bare + " >" + digest).c_str()), 0);
    const std::string identity = ReadFile(digest).substr(0, 16);
    ASSERT_EQ(
        Run({"seal", out_, "--key", Key("b"), "--counter", "5", "-o", dir_.file("b.upg")}).exit, 0);
    for (const std::string& pkg : {out_, bare, dir_.file("b.upg")}) {
        Result r = Run({"info", pkg});
        ASSERT_EQ(r.exit, 0) << r.err;
        EXPECT_NE(r.out.find("Identity: " + identity + "\n"), std::string::npos) << pkg << r.out;
        r = Run({"info", "--json", pkg});
        EXPECT_EQ(nlohmann::json::parse(r.out)["identity"], identity) << pkg;
    }
}

// What a power cut does to some items is said where a release is built and
// inspected.
TEST_F(QdupkTest, PackAndInfoNameItemsAPowerCutMakesDangerous) {
    const std::string manifest = Manifest(
        "[item1]\ntype=uboot\nsource=kernel.img\n[item2]\ntype=rootfs\nsource=kernel.img\n"
        "[item3]\ntype=script\nsource=setup.sh\n[item4]\ntype=mcu\nsource=app.conf\n");
    Result r = Run({"pack", manifest, "-o", out_});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.err.find("warning: item 1 is a boot-loader image: a power cut during its write "
                         "leaves the camera unable to start"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("warning: item 3 (script) go to the running system"), std::string::npos)
        << r.err;
    r = Run({"info", out_});
    EXPECT_NE(r.out.find("Note: item 1 is a boot-loader image"), std::string::npos) << r.out;
    EXPECT_EQ(nlohmann::json::parse(Run({"info", "--json", out_}).out)["notes"].size(), 2U);
    r = Run({"pack", Manifest(ThreeItems()), "-o", out_, "--force"});
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
}

// Heads carry no digest of their own: only the seal shows a changed
// destination, with or without keys, and upload must not send it.
TEST_F(QdupkSealTest, AChangedHeadByteIsRefused) {
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_, "--key", Key("a")}).exit, 0);
    std::string bytes = ReadFile(out_);
    bytes[kItem0Destination + 1] ^= 0x10;
    WriteFile(out_, bytes);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"verify", out_}, {"verify", out_, "--pubkey", Pub("a")}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.exit, 1);
        EXPECT_NE(r.err.find("REJECTED: the seal's SHA-256 does not match"), std::string::npos)
            << r.err;
    }
    const Result upload = Run({"upload", "127.0.0.1:9", out_});
    EXPECT_EQ(upload.exit, 1);
    EXPECT_NE(upload.err.find("the seal's SHA-256 does not match"), std::string::npos)
        << upload.err;
    EXPECT_EQ(Run({"info", out_}).exit, 1);
}

TEST_F(QdupkSealTest, SealReplacesTheSealWholeOrNotAtAll) {
    ASSERT_EQ(Run({"pack", OneItem(), "-o", out_}).exit, 0);
    const std::string unsigned_ = ReadFile(out_);
    chmod(out_.c_str(), 0640);

    Result r = Run({"seal", out_, "--key", Key("a"), "--counter", "3"});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(Run({"verify", out_, "--pubkey", Pub("a"), "--min-counter", "3"}).exit, 0);
    // Re-signed with the next key: the seal is replaced, the counter kept.
    r = Run({"seal", out_, "--key", Key("b"), "-o", dir_.file("b.upg")});
    ASSERT_EQ(r.exit, 0) << r.err;
    const std::string resealed = ReadFile(dir_.file("b.upg"));
    EXPECT_EQ(resealed.size(), unsigned_.size());
    EXPECT_EQ(resealed.substr(0, resealed.size() - 128),
              unsigned_.substr(0, unsigned_.size() - 128));
    EXPECT_EQ(Run({"verify", dir_.file("b.upg"), "--pubkey", Pub("b"), "--min-counter", "3"}).exit,
              0);
    EXPECT_EQ(Run({"verify", dir_.file("b.upg"), "--pubkey", Pub("a")}).exit, 1);
    struct stat info {};
    ASSERT_EQ(stat(out_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // Refused: foreign bytes after the end record, a seal that no longer
    // matches, a damaged item. The package stays as it was, nothing beside it.
    const std::string body = unsigned_.substr(0, unsigned_.size() - 128);
    std::string changed = unsigned_;
    changed[kItem0Description] ^= 0x01;
    std::string damaged = body;
    damaged[432 + 456] ^= 0x01;
    for (const std::string& input : {body + "trailing notes", changed, damaged}) {
        WriteFile(out_, input);
        r = Run({"seal", out_, "--key", Key("a")});
        EXPECT_EQ(r.exit, 1);
        EXPECT_EQ(ReadFile(out_), input);
        EXPECT_FALSE(Leftovers("out.upg")) << r.err;
    }
    EXPECT_NE(r.err.find("never sealed"), std::string::npos) << r.err;
    WriteFile(out_, body + "notes");
    r = Run({"seal", out_, "--key", Key("a")});
    EXPECT_NE(r.err.find("5 byte(s) after its end record that are not a seal"), std::string::npos)
        << r.err;
    // Both key files are 64 hex digits: only the name tells a public key
    // given by mistake from the private one it was meant to be.
    r = Run({"seal", out_, "--key", Pub("a")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("is a public key"), std::string::npos) << r.err;
    r = Run({"verify", out_, "--pubkey", Key("a")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("is a private key"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qdtest
