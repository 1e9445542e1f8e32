#include "rollout_package.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

#include "libqdupdate.h"
#include "printable.h"
#include "upload_protocol.h"

namespace qdupk {

namespace {

// The verification walk takes a path; this one leads to the open file
// itself, whatever its name now leads to.
std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void CheckDescriptorPath(int fd, const std::string& viaFd) {
    struct stat opened {};
    struct stat reached {};
    if (fstat(fd, &opened) != 0 || stat(viaFd.c_str(), &reached) != 0 ||
        !SameFile(opened, reached)) {
        throw Error("cannot verify the opened package through " + viaFd + " (is /proc mounted?)");
    }
}

// The walk names the file it opened; people know it by its own name.
std::string Renamed(std::string message, const std::string& from, const std::string& to) {
    for (std::size_t at = message.find(from); at != std::string::npos;
         at = message.find(from, at + to.size())) {
        message.replace(at, from.size(), to);
    }
    return message;
}

}  // namespace

RolloutPackage OpenRolloutPackage(const std::string& path) {
    RolloutPackage package;
    package.fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    const bool known = package.fd.valid() && fstat(package.fd.get(), &info) == 0;
    const std::string problem = PackageFileProblem(path, known ? &info : nullptr);
    if (!problem.empty()) {
        throw Error(problem);
    }
    package.size = static_cast<std::uint64_t>(info.st_size);
    if (package.size > qd::kMaxUploadLength) {
        throw Error(path + " has " + std::to_string(package.size) +
                    " bytes; a camera takes at most " + std::to_string(qd::kMaxUploadLength));
    }
    return package;
}

VerifyResult JudgeOpened(const RolloutPackage& package, const std::string& path,
                         const SealPolicy& policy) {
    const std::string viaFd = DescriptorPath(package.fd.get());
    CheckDescriptorPath(package.fd.get(), viaFd);
    VerifyResult result = VerifyPackage(viaFd, std::nullopt, policy);
    result.message = Printable(Renamed(result.message, viaFd, path));
    return result;
}

std::string RefusalText(const std::string& path, const std::string& message, const char* unsent) {
    return path + ": the camera would refuse it: " + message + " (" + unsent + ")";
}

std::string VerifyOpened(const RolloutPackage& package, const std::string& path,
                         const SealPolicy& policy, PackageInfo* info, const char* unsent) {
    VerifyResult result = JudgeOpened(package, path, policy);
    if (!result.accepted) {
        throw Error(RefusalText(path, result.message, unsent));
    }
    if (info != nullptr) {
        *info = std::move(result.info);
    }
    return result.message;
}

bool HasBootImages(const PackageInfo& info) {
    for (const std::int32_t type : ItemTypes(info)) {
        if (type == QDUPK_ITEM_KERNEL || type == QDUPK_ITEM_ROOTFS) {
            return true;
        }
    }
    return false;
}

}  // namespace qdupk
