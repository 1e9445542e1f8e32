// Package manifests: INI files read with the INI library.
//
//   [package]            name, version, devid (devid required)
//   [item1], [item2] ... read in order up to the first missing number; keys:
//                        type    kernel, rootfs, uboot, script, app, file,
//                                webpage, mcu, facemcu, audioapp, or a number
//                        source  data file, relative to the manifest
//                        dest    destination path on the device (optional)
//                        devid, desc (optional), reboot 0/1 (default 0)
#ifndef QDUPK_TOOL_MANIFEST_H
#define QDUPK_TOOL_MANIFEST_H

#include <string>

#include "package_writer.h"

namespace qdupk {

// Throws PackError naming the section and key at fault.
PackagePlan ReadManifest(const std::string& path);

}  // namespace qdupk

#endif  // QDUPK_TOOL_MANIFEST_H
