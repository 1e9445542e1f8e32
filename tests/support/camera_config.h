// Configuration files for the daemon in tests: a valid file by default, with
// single keys changed, given raw text or left out to build refused ones.
#ifndef QD_TEST_CAMERA_CONFIG_H
#define QD_TEST_CAMERA_CONFIG_H

#include <map>
#include <optional>
#include <set>
#include <string>

namespace qdtest {

// One of the sections "uboot", "kernel", "rootfs".
struct PartitionOptions {
    std::string mtdName;             // empty: the section names no partition
    std::optional<long> allMtd = 1;  // nullopt: the key is left out
    std::optional<long> pos = 0;
    std::optional<long> size = 0x100000;
};

struct ConfigOptions {
    long port = 8080;
    std::string devname = "vcam";
    std::string uartArm;
    long baud = 115200;
    std::string mainApp;
    std::string macaddr;  // empty: the key is left out
    std::string tmpdir;   // VirtualCamera::WriteConfig puts in the camera's own when empty
    std::string eraseCmd = "flash_eraseall";
    std::string copyCmd = "flashcp";
    long blockSize = 65536;
    std::optional<PartitionOptions> uboot;  // nullopt: the section is left out
    std::optional<PartitionOptions> kernel;
    std::optional<PartitionOptions> rootfs;
    // Keys of [system] written with exactly this text instead of the field
    // above (new keys are appended), and keys of [system] left out.
    std::map<std::string, std::string> rawValues;
    std::set<std::string> omit;
    // Keys of a [seal] section, written as given; no section when empty.
    std::map<std::string, std::string> seal;
};

std::string MakeConfigText(const ConfigOptions& options);

}  // namespace qdtest

#endif  // QD_TEST_CAMERA_CONFIG_H
