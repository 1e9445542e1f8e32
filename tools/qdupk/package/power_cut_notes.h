// What a package's items mean for a camera that loses power while they are
// written, said by pack and info so the person building a release sees it
// before a camera does.
#ifndef QDUPK_TOOL_POWER_CUT_NOTES_H
#define QDUPK_TOOL_POWER_CUT_NOTES_H

#include <cstdint>
#include <string>
#include <vector>

namespace qdupk {

// One note per risk, items numbered from 1 as manifests number them:
// a boot-loader image (a cut during its write leaves the camera unable to
// start), and file or script items beside a root file system image (they
// go to the running system, not to the image's slot).
std::vector<std::string> PowerCutNotes(const std::vector<std::int32_t>& itemTypes);

}  // namespace qdupk

#endif  // QDUPK_TOOL_POWER_CUT_NOTES_H
