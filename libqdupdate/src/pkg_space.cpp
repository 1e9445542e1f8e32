// Room check between verification and extraction. A package whose items do
// not all fit is refused before the first one is written: otherwise a small
// temporary directory lets an application file be replaced and then stops
// the kernel image that belongs with it, and the camera runs a mix of both.
//
// Each item is located with the path the extraction will use (one function
// chooses it for both), so the check and the writes cannot disagree. The
// count is conservative: files at destinations stay, temporary files exist
// one at a time, and an existing file that a destination item replaces
// frees what it occupies. Items a check callback may decline are counted.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "pkg_steps.h"
#include "qd_log.h"
#include "qd_text.h"

namespace qdupk {

namespace {

// Distinct file systems one package may write to; a camera has a handful.
constexpr std::size_t kMaxFileSystems = 16;

// Where an item's data lands and what writing it there frees.
struct Target {
    dev_t device;
    std::uint64_t available;  // bytes an unprivileged writer may still use
    std::uint64_t blockSize;  // unit of allocation
    std::uint64_t replaced;   // bytes of the existing file the write truncates
    bool takesRoom;           // false for a device or pipe at the destination
};

struct FileSystemRoom {
    dev_t device;
    std::uint64_t available;
    std::uint64_t staying;           // files written at destinations
    std::uint64_t largestTemporary;  // temporary files come and go one by one
};

struct RoomPlan {
    FileSystemRoom fs[kMaxFileSystems];
    std::size_t count;
};

using ULL = unsigned long long;

// `path` names the file or directory whose file system takes the data.
int ReadFileSystem(std::int32_t index, const char* path, Target* pTarget) noexcept {
    struct statvfs vfs {};
    if (statvfs(path, &vfs) != 0) {
        QD_LOG_ERR("item %d [%s]: statvfs failed: %s\n", static_cast<int>(index), path,
                   std::strerror(errno));
        return QDUPKERR_COPY;
    }
    if ((vfs.f_flag & ST_RDONLY) != 0) {
        QD_LOG_ERR("item %d [%s]: read-only file system\n", static_cast<int>(index), path);
        return QDUPKERR_COPY;
    }
    pTarget->blockSize = vfs.f_frsize != 0 ? vfs.f_frsize : 1;
    pTarget->available = static_cast<std::uint64_t>(vfs.f_bavail) * pTarget->blockSize;
    return 0;
}

// The directory part of a path: "." for a bare name, "/" for the root.
// Item paths are held in arrays of the same size, so neither copy cuts.
void DirectoryOf(const char* path, char (&dir)[QDUPK_TEXT_SIZE]) noexcept {
    static_cast<void>(qd::CopyText(dir, path));
    char* slash = std::strrchr(dir, '/');
    if (slash == nullptr) {
        static_cast<void>(qd::CopyText(dir, "."));
    } else {
        slash[slash == dir ? 1 : 0] = '\0';
    }
}

// A new file: the room is its directory's file system.
int LocateInDirectory(std::int32_t index, const char* path, Target* pTarget) noexcept {
    char dir[QDUPK_TEXT_SIZE];
    DirectoryOf(path, dir);
    struct stat st {};
    const bool found = stat(dir, &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        QD_LOG_ERR("item %d [%s]: no directory [%s]: %s\n", static_cast<int>(index), path, dir,
                   found ? "not a directory" : std::strerror(errno));
        return QDUPKERR_COPY;
    }
    pTarget->device = st.st_dev;
    return ReadFileSystem(index, dir, pTarget);
}

// An existing destination is truncated where it is, links followed, so its
// own file system counts and its blocks are freed first.
int LocateExisting(std::int32_t index, const char* path, const struct stat& st,
                   Target* pTarget) noexcept {
    if (S_ISDIR(st.st_mode)) {
        QD_LOG_ERR("item %d [%s]: destination is a directory\n", static_cast<int>(index), path);
        return QDUPKERR_COPY;
    }
    pTarget->takesRoom = S_ISREG(st.st_mode);
    pTarget->device = st.st_dev;
    pTarget->replaced = static_cast<std::uint64_t>(st.st_blocks) * 512U;
    return pTarget->takesRoom ? ReadFileSystem(index, path, pTarget) : 0;
}

// A temporary file is removed and created afresh, never reused.
int LocateTarget(std::int32_t index, const ItemFile& file, Target* pTarget) noexcept {
    *pTarget = Target{0, 0, 1, 0, true};
    struct stat st {};
    if (!file.bTemporary && stat(file.szPath, &st) == 0) {
        return LocateExisting(index, file.szPath, st, pTarget);
    }
    return LocateInDirectory(index, file.szPath, pTarget);
}

FileSystemRoom* RoomOf(RoomPlan& plan, const Target& target) noexcept {
    for (std::size_t i = 0; i < plan.count; ++i) {
        if (plan.fs[i].device == target.device) {
            return &plan.fs[i];
        }
    }
    if (plan.count == kMaxFileSystems) {
        return nullptr;
    }
    plan.fs[plan.count] = FileSystemRoom{target.device, target.available, 0, 0};
    return &plan.fs[plan.count++];
}

std::uint64_t BlocksFor(std::int32_t size, std::uint64_t blockSize) noexcept {
    const auto bytes = static_cast<std::uint64_t>(size);
    return (bytes + blockSize - 1) / blockSize * blockSize;
}

int AddToPlan(RoomPlan& plan, std::int32_t index, const QDUPK_PKTITEM_T& item, const ItemFile& file,
              const Target& target) noexcept {
    FileSystemRoom* room = RoomOf(plan, target);
    if (room == nullptr) {
        QD_LOG_ERR("item %d [%s]: items go to more than %d file systems\n", static_cast<int>(index),
                   file.szPath, static_cast<int>(kMaxFileSystems));
        return QDUPKERR_COPY;
    }
    const std::uint64_t need = BlocksFor(item.nDataSize, target.blockSize);
    if (file.bTemporary) {
        room->largestTemporary = need > room->largestTemporary ? need : room->largestTemporary;
    } else {
        room->staying += need - (target.replaced < need ? target.replaced : need);
    }
    const std::uint64_t total = room->staying + room->largestTemporary;
    if (total > room->available) {
        QD_LOG_ERR("item %d [%s]: no room, %llu bytes needed, %llu available, %llu missing\n",
                   static_cast<int>(index), file.szPath, static_cast<ULL>(total),
                   static_cast<ULL>(room->available), static_cast<ULL>(total - room->available));
        return QDUPKERR_COPY;
    }
    return 0;
}

// Counts item `index`'s file.
int PlanItem(const QDUPK_PKTITEM_T& item, std::int32_t index, const char* szTempDir,
             RoomPlan& plan) noexcept {
    ItemFile file{};
    if (!ChooseItemFile(item, szTempDir, &file)) {
        QD_LOG_ERR("item path too long\n");
        return QDUPKERR_COPY;
    }
    Target target{};
    int ret = LocateTarget(index, file, &target);
    if (ret == 0 && target.takesRoom) {
        ret = AddToPlan(plan, index, item, file, target);
    }
    return ret;
}

}  // namespace

int CheckItemsFit(const PackageIndex& index, const char* szTempDir) noexcept {
    RoomPlan plan{};
    for (std::int32_t i = 0; i < index.itemCount; ++i) {
        const int ret = PlanItem(index.items[static_cast<std::size_t>(i)].head, i, szTempDir, plan);
        if (ret != 0) {
            return ret;
        }
    }
    return 0;
}

}  // namespace qdupk
