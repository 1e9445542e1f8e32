// Package manifests: INI files, their lines read with the INI library's own
// grammar.
//
//   [package]            name, version, devid (devid required)
//   [item1], [item2] ... numbered from 1 without gaps; keys:
//                        type    kernel, rootfs, uboot, script, app, file,
//                                webpage, mcu, facemcu, audioapp, or a number
//                        source  data file, relative to the manifest
//                        dest    absolute path on the device (optional; a
//                                flash image only names its temporary file)
//                        devid, desc (optional), reboot yes/no (default no;
//                                kept in the package, the camera reboots
//                                after every upgrade)
//
// A manifest is read strictly: a key, section or line the reader does not
// know, a section or key given twice, or a gap in the item numbers is
// refused with its line rather than ignored, since a typo would otherwise
// build a package that installs something else. Blanks around keys and
// values do not count; a comment after a value would be part of it, so
// one is refused (in desc, kept with a warning).
#ifndef QDUPK_TOOL_MANIFEST_H
#define QDUPK_TOOL_MANIFEST_H

#include <optional>
#include <string>
#include <vector>

#include "package_writer.h"

namespace qdupk {

struct ManifestKey {
    int line = 0;
    std::string name;
    std::string value;
};

struct ManifestSection {
    int line = 0;
    std::string name;
    std::vector<ManifestKey> keys;  // in file order
};

// Every section of the manifest with its keys, in file order, blanks and
// carriage returns around names and values cut. Throws Error when the
// file cannot be read (no such file, a directory, ...) and for a line that
// is neither "[section]" nor "key=value", a key above the first section, or
// a line too long to be read whole.
std::vector<ManifestSection> ListManifest(const std::string& path);

// Throws Error naming the line, section and key at fault. What is taken
// but probably not meant (a comment kept in desc, a dest a flash image
// does not use) is added to `warnings`, one message each, when given.
PackagePlan ReadManifest(const std::string& path, std::vector<std::string>* warnings = nullptr);

// 1/0, yes/no, true/false, on/off in any case; nothing for other text.
std::optional<bool> ParseBoolean(const std::string& text);

// The name in `known` that `name` most likely misspells (by edit distance,
// case ignored, or as a longer or shorter form of it); empty when none is
// close.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

}  // namespace qdupk

#endif  // QDUPK_TOOL_MANIFEST_H
