// The virtual camera itself, mostly with a shell stand-in in the daemon's
// place: what the daemon sees, that nothing reaches the host (its files
// included), that nothing outlives a test, however it ends, and that the
// rig works where / is not a mount point as far as it can.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "package_writer.h"
#include "pc_side.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_camera.h"

namespace {

using qdtest::Millis;
using qdtest::RunCommand;
using qdtest::VirtualCamera;

const std::string kScript = QD_SOURCE_DIR "/scripts/vcam.sh";
const std::string kStandIn = QD_SOURCE_DIR "/tests/support/stubs/standin-daemon";
constexpr std::uint16_t kPort = 8080;
const std::string kAck("\xAA\xCC\xDD\x03\0\0\0\0", 8);

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasText(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string NsPids(const std::string& ns) {
    return RunCommand({"ip", "netns", "pids", ns}, Millis(5000)).output;
}

std::string NsList() {
    return RunCommand({"ip", "netns", "list"}, Millis(5000)).output;
}

TEST(VirtualCameraRig, DaemonSeesOnlyItsOwnNamespacesAndStandIns) {
    QD_SKIP_WITHOUT_RIG();
    const std::string hostEth0 = "/sys/class/net/eth0/address";
    const std::string hostMac = qdtest::FileExists(hostEth0) ? qdtest::ReadFile(hostEth0) : "";
    VirtualCamera cam;
    cam.UseDaemon(kStandIn);
    // Never the real reboot, even guarded: the guard is checked by content.
    const std::string probe =
        "reboot; killall -9 mainApp; /usr/bin/killall --version; "
        "ifconfig eth0 hw ether 02:00:00:aa:bb:cc; "
        "for t in /usr/sbin/reboot /usr/bin/systemctl; do "
        "[ ! -e $t ] || { cmp -s $t \"${PATH%%:*}/guard\" && echo guarded $t; }; done";
    cam.Start({"first", "run", probe, "exit", "7"});
    ASSERT_EQ(cam.WaitExit(Millis(10000)), 7) << cam.Log();

    const std::string log = cam.Log();
    EXPECT_TRUE(HasText(log, "pid1=/bin/sh " + kScript + " _inner")) << log;
    EXPECT_TRUE(HasText(log, "netns=" + cam.info().devNs + "\n")) << log;
    EXPECT_TRUE(HasText(log, "reboot=" + cam.info().stubDir + "/reboot\n")) << log;
    EXPECT_TRUE(HasText(log, "cwd=" + cam.info().workDir + "\n")) << log;
    EXPECT_TRUE(HasText(log, "args=first run")) << log;
    for (const std::string tool : {"/usr/sbin/reboot", "/usr/bin/systemctl"}) {
        if (qdtest::FileExists(tool)) {
            EXPECT_TRUE(HasText(log, "guarded " + tool + "\n")) << log;
        }
    }

    const std::vector<std::string> calls = cam.Calls();
    EXPECT_TRUE(Has(calls, "reboot"));
    EXPECT_TRUE(Has(calls, "killall -9 mainApp"));
    if (qdtest::FileExists("/usr/bin/killall")) {
        EXPECT_TRUE(Has(calls, "GUARD /usr/bin/killall --version"));
    }
    EXPECT_TRUE(Has(calls, "ifconfig eth0 hw ether 02:00:00:aa:bb:cc"));
    EXPECT_EQ(cam.MacAddress(), "02:00:00:aa:bb:cc");
    if (!hostMac.empty()) {
        EXPECT_EQ(qdtest::ReadFile(hostEth0), hostMac);
    }
}

TEST(VirtualCameraRig, NetworkWrapperRefusesOutsideTheCamera) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    // "ifconfig lo" only prints, should the check ever let it through.
    const qdtest::CommandResult r =
        RunCommand({cam.info().stubDir + "/ifconfig", "lo"}, Millis(5000),
                   {"VCAM_CALLS=" + cam.info().callLog, "VCAM_DEVNS=" + cam.info().devNs});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(HasText(r.output, "refused")) << r.output;
    EXPECT_FALSE(HasText(r.output, "127.0.0.1")) << r.output;
}

TEST(VirtualCameraRig, StopAndTeardownLeaveNothingBehind) {
    QD_SKIP_WITHOUT_RIG();
    std::string devNs;
    std::string workDir;
    try {
        VirtualCamera cam;
        devNs = cam.info().devNs;
        workDir = cam.info().workDir;
        cam.UseDaemon(kStandIn);
        cam.Start({"run", "sleep 300 &", "hang"});
        ASSERT_TRUE(cam.WaitForLog("args=run", Millis(10000)));
        EXPECT_FALSE(HasText(qdtest::ReadFile("/proc/self/mountinfo"), cam.info().stubDir))
            << "guard mounts leaked out of the daemon's mount namespace";

        cam.Stop();
        EXPECT_FALSE(cam.Running());
        EXPECT_EQ(cam.WaitExit(Millis(0)), 128 + 9);
        EXPECT_TRUE(qdtest::PollUntil(Millis(5000), [&] { return NsPids(devNs).empty(); }))
            << NsPids(devNs);

        cam.Start({"run", "sleep 300 &", "hang"});
        ASSERT_TRUE(cam.WaitForLog("args=run", Millis(10000)));
        throw std::runtime_error("test body failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(HasText(NsList(), devNs));
    EXPECT_FALSE(qdtest::FileExists(workDir));
}

TEST(VirtualCameraRig, KilledOwnerTakesItsDaemonAlongAndIsSweptLater) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera live;
    qdtest::ChildProcess owner;
    owner.Start({"sh", "-c",
                 "export VCAM_OWNER=$$; sh " + kScript + " up orphan >/dev/null || exit 1; " +
                     "sh " + kScript + " start orphan hang & exec sleep 300"},
                {"VCAM_QDBOOT=" + kStandIn});
    const std::string ownerEnv = "VCAM_OWNER=" + std::to_string(owner.pid());
    std::string orphanLog;
    ASSERT_TRUE(qdtest::PollUntil(Millis(10000), [&] {
        const std::string info =
            RunCommand({"sh", kScript, "info", "orphan"}, Millis(5000), {ownerEnv}).output;
        const auto at = info.find("daemonlog=");
        orphanLog =
            at == std::string::npos ? "" : info.substr(at + 10, info.find('\n', at) - at - 10);
        return !orphanLog.empty() && qdtest::FileExists(orphanLog) &&
               HasText(qdtest::ReadFile(orphanLog), "args=hang");
    })) << "the orphan's daemon did not start";
    const std::string prefix = "qdvc-" + std::to_string(owner.pid()) + "-orphan-";

    owner.Kill();
    EXPECT_TRUE(qdtest::PollUntil(Millis(5000), [&] { return NsPids(prefix + "d").empty(); }))
        << "daemon outlived its owner: " << NsPids(prefix + "d");
    EXPECT_TRUE(HasText(NsList(), prefix + "d"));

    VirtualCamera next;  // its start-up sweeps what dead runs left
    const std::string list = NsList();
    EXPECT_FALSE(HasText(list, prefix)) << list;
    EXPECT_TRUE(HasText(list, live.info().devNs)) << list;
    EXPECT_TRUE(HasText(list, live.info().pcNs)) << list;
    EXPECT_NE(live.info().devAddr, next.info().devAddr);
}

// A leftover name whose namespace is the sweeping process's own (an
// "ip netns add" that half failed, say) would list every process there.
// Run inside a namespace of the test's own, so a sweep that got it wrong
// ends only what the test started.
TEST(VirtualCameraRig, SweepNeverEndsTheProcessesOfItsOwnNamespace) {
    QD_SKIP_WITHOUT_RIG();
    const std::string ns = "qdguard-" + std::to_string(getpid());
    // The owner's PID is above any pid_max: the sweep takes it for gone.
    const std::string alias = "qdguard-999999999-guard-d";
    ASSERT_EQ(RunCommand({"ip", "netns", "add", ns}, Millis(5000)).status, 0);
    struct Remove {
        std::vector<std::string> names;
        ~Remove() {
            for (const std::string& name : names) {
                static_cast<void>(RunCommand({"ip", "netns", "del", name}, Millis(5000)));
            }
        }
    } remove{{alias, ns}};
    qdtest::ChildProcess bystander;
    bystander.Start(qdtest::InNetNs(ns, {"sleep", "300"}));
    const qdtest::CommandResult r = RunCommand(
        qdtest::InNetNs(
            ns, {"sh", "-c",
                 "ip netns attach " + alias + " $$ && sh " + kScript + " sweep; echo swept $?"}),
        Millis(30000), {"VCAM_OWNER=" + std::to_string(getpid()), "VCAM_PREFIX=qdguard"});
    EXPECT_TRUE(HasText(r.output, "swept 0")) << r.output;
    EXPECT_TRUE(HasText(r.output, "is this very namespace")) << r.output;
    EXPECT_TRUE(bystander.Running()) << r.output;
    EXPECT_FALSE(HasText(NsList(), alias));
}

// A package's destinations and its scripts change only the camera's own
// root: the host keeps its /etc, /var/lib and /dev, the camera's upper
// layer holds what they wrote, and the workspace is still shared with the
// host.
TEST(VirtualCameraRig, PackagesChangeOnlyTheCamerasOwnRoot) {
    QD_SKIP_WITHOUT_RIG();
    VirtualCamera cam;
    const std::string unique = "qdvc-rig-" + std::to_string(getpid()) + "-" + cam.info().name;
    const std::string hostFile = "/etc/" + unique + ".conf";
    const std::string hostMark = "/var/lib/" + unique + ".mark";
    const std::string hostDevice = "/dev/" + unique;
    // Should the camera ever reach the host, the test still leaves it clean.
    struct Remove {
        std::vector<std::string> paths;
        ~Remove() {
            for (const std::string& path : paths) {
                static_cast<void>(std::remove(path.c_str()));
            }
        }
    } remove{{hostFile, hostMark, hostDevice}};
    const std::string work = cam.info().workDir;
    cam.Start({cam.WriteConfig({})});
    ASSERT_TRUE(qdtest::WaitServing(cam, kPort));

    qdtest::UploadConnection upload(cam, kPort);
    upload.Send(qdtest::Framed(qdupk::BuildPackage(
        {"pkg",
         "1.0",
         "IPC-1",
         {qdupk::DataItem(QDUPK_ITEM_FILE, "settings\n", hostFile),
          qdupk::DataItem(QDUPK_ITEM_FILE, "image", hostDevice),
          qdupk::DataItem(QDUPK_ITEM_BASH, "#!/bin/sh\ntouch " + hostMark + "\necho ran > '" +
                                               work + "/script.out'\n")}})));
    EXPECT_EQ(upload.ReadUntilClosed(Millis(20000)).bytes, kAck) << cam.Log();

    EXPECT_EQ(qdtest::ReadFile(work + "/script.out"), "ran\n");
    EXPECT_FALSE(qdtest::FileExists(hostFile));
    EXPECT_FALSE(qdtest::FileExists(hostMark));
    EXPECT_FALSE(qdtest::FileExists(hostDevice));
    EXPECT_EQ(qdtest::ReadFile(cam.DaemonView(hostDevice)), "image");
    EXPECT_EQ(qdtest::ReadFile(cam.info().upperDir + hostFile), "settings\n");
    EXPECT_TRUE(qdtest::FileExists(cam.info().upperDir + hostMark));
}

// In a chroot / is not a mount point, and "ip netns exec" and "ip -n" fail
// there (they make / rslave first). The rig's namespaces still work; only a
// daemon, which needs a root of its own, is refused, at once and saying why.
TEST(VirtualCameraRig, ChrootRunsTheNamespacesAndRefusesADaemonAtOnce) {
    QD_SKIP_WITHOUT_RIG();
    const qdtest::ScratchDir root;
    // The host's programs and the repository in a directory that is no
    // mount point itself; the mounts live in this command's namespace only.
    const std::string makeChroot = R"sh(set -e
R=$1 SRC=$2
for d in usr etc; do mkdir -p "$R/$d"; mount --rbind "/$d" "$R/$d"; done
for d in bin sbin lib lib64; do
    if [ -L "/$d" ]; then ln -s "$(readlink "/$d")" "$R/$d";
    elif [ -d "/$d" ]; then mkdir -p "$R/$d"; mount --rbind "/$d" "$R/$d"; fi
done
mkdir -p "$R/proc" "$R/dev" "$R/tmp" "$R/run" "$R$SRC"
mount -t proc proc "$R/proc"
mount --rbind /dev "$R/dev"
mount -t tmpfs tmpfs "$R/tmp"
mount -t tmpfs tmpfs "$R/run"
mkdir "$R/run/netns"
mount --bind "$SRC" "$R$SRC"
exec chroot "$R" sh -c "$3" sh "$SRC"
)sh";
    const std::string probe = R"sh(SRC=$1
export VCAM_OWNER=$$
sh $SRC/scripts/vlan.sh up chk 2 >/dev/null && echo lan-up
sh $SRC/scripts/vlan.sh pc chk ip -br link show dev pc0 | grep -q UP && echo lan-pc
sh $SRC/scripts/vlan.sh down chk && echo lan-down
sh $SRC/scripts/vcam.sh up solo >/dev/null && echo cam-up
sh $SRC/scripts/vcam.sh dev solo ip -br link show dev eth0 | grep -q UP && echo cam-dev
VCAM_QDBOOT=$SRC/tests/support/stubs/standin-daemon sh $SRC/scripts/vcam.sh start solo
echo "start=$?"
sh $SRC/scripts/vcam.sh down solo && echo cam-down
echo "left=$(ip netns list | wc -l)"
)sh";
    const qdtest::CommandResult r =
        RunCommand({"unshare", "--mount", "--propagation", "private", "sh", "-c", makeChroot, "sh",
                    root.path(), QD_SOURCE_DIR, probe},
                   Millis(60000));
    for (const std::string line : {"lan-up\n", "lan-pc\n", "lan-down\n", "cam-up\n", "cam-dev\n",
                                   "start=1\n", "cam-down\n", "left=0\n"}) {
        EXPECT_TRUE(HasText(r.output, line)) << line << "in:\n" << r.output;
    }
    EXPECT_TRUE(HasText(r.output, "vcam: / is not a mount point")) << r.output;
    EXPECT_FALSE(HasText(r.output, "make-rslave")) << r.output;
}

}  // namespace
