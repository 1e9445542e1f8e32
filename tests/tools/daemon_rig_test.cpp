// qdupk against the real daemon on a virtual camera: the search finds it,
// a package the camera refuses is reported as not accepted without a reboot,
// a sound one as accepted, followed by the reboot request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package_writer.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace qdtest {
namespace {

constexpr std::uint16_t kPort = 8080;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool Serving(const VirtualCamera& cam) {
    return PollUntil(Millis(10000), [&] {
        return cam.Listening(kPort) &&
               Contains(cam.Dev({"ip", "maddr", "show", "dev", "eth0"}).output, "234.200.200.1");
    });
}

std::string FilePackage(const std::string& destination, const std::string& content) {
    return qdupk::BuildPackage(
        {"settings", "1.0", "IPC-1", {qdupk::DataItem(QDUPK_ITEM_FILE, content, destination)}});
}

CommandResult Qdupk(const VirtualCamera& cam, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QDUPK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return cam.Pc(argv, Millis(30000));
}

TEST(QdupkWithDaemon, FindsTheCameraAndReportsItsVerdicts) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    cam.Start({cam.WriteConfig(ConfigOptions{})});
    ASSERT_TRUE(Serving(cam)) << cam.Log();
    const std::string& addr = cam.info().devAddr;

    CommandResult r = Qdupk(cam, {"search", "--interface", "pc0", "--timeout", "1", "--json"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "[{\"address\": \"" + addr + "\", \"announced\": \"" + addr +
                            "\", \"port\": 8080, \"source\": \"" + addr + "\"}]\n");

    ScratchDir pc;
    const std::string installed = cam.info().workDir + "/installed.conf";
    std::string damaged = FilePackage(installed, "speed=1\n");
    damaged[432 + 456] ^= 0x01;
    WriteFile(pc.file("damaged.upg"), damaged);
    const std::string target = addr + ":8080";
    r = Qdupk(cam, {"upload", target, pc.file("damaged.upg"), "--no-verify", "--timeout", "20"});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk upload: NOT ACCEPTED: " + target +
                                       " closed the connection without acknowledgement"))
        << r.output;
    EXPECT_FALSE(FileExists(installed));

    WriteFile(pc.file("good.upg"), FilePackage(installed, "speed=32\n"));
    r = Qdupk(cam, {"upload", target, pc.file("good.upg"), "--timeout", "20"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "qdupk upload: ACCEPTED: " + target)) << r.output;
    EXPECT_TRUE(cam.WaitForCall("^reboot$", Millis(5000))) << cam.Log();
    EXPECT_EQ(ReadFile(installed), "speed=32\n");
}

}  // namespace
}  // namespace qdtest
