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
#include "qd_text.h"

namespace qdpkg {

namespace {

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

// A refusal: the reason in the fault record, which the entry point words.
int Refuse(Fault& fault, RoomProblem problem) noexcept {
    fault.room = problem;
    return QDUPKERR_COPY;
}

// `path` names the file or directory whose file system takes the data.
int ReadFileSystem(Fault& fault, const char* path, Target* pTarget) noexcept {
    struct statvfs vfs {};
    const bool asked = statvfs(path, &vfs) == 0;
    if (!asked || (vfs.f_flag & ST_RDONLY) != 0) {
        fault.error = asked ? 0 : errno;
        static_cast<void>(qd::CopyText(fault.path, path));
        return Refuse(fault, asked ? RoomProblem::kReadOnly : RoomProblem::kStatvfs);
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
int LocateInDirectory(Fault& fault, const char* path, Target* pTarget) noexcept {
    DirectoryOf(path, fault.dir);
    struct stat st {};
    const bool found = stat(fault.dir, &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        fault.error = found ? 0 : errno;
        return Refuse(fault, RoomProblem::kNoDirectory);
    }
    pTarget->device = st.st_dev;
    return ReadFileSystem(fault, fault.dir, pTarget);
}

// An existing destination is truncated where it is, links followed, so its
// own file system counts and its blocks are freed first.
int LocateExisting(Fault& fault, const char* path, const struct stat& st,
                   Target* pTarget) noexcept {
    if (S_ISDIR(st.st_mode)) {
        return Refuse(fault, RoomProblem::kIsDirectory);
    }
    pTarget->takesRoom = S_ISREG(st.st_mode);
    pTarget->device = st.st_dev;
    pTarget->replaced = static_cast<std::uint64_t>(st.st_blocks) * 512U;
    return pTarget->takesRoom ? ReadFileSystem(fault, path, pTarget) : 0;
}

// A temporary file is removed and created afresh, never reused.
int LocateTarget(Fault& fault, const ItemFile& file, Target* pTarget) noexcept {
    *pTarget = Target{0, 0, 1, 0, true};
    struct stat st {};
    if (!file.bTemporary && stat(file.szPath, &st) == 0) {
        return LocateExisting(fault, file.szPath, st, pTarget);
    }
    return LocateInDirectory(fault, file.szPath, pTarget);
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

int AddToPlan(RoomPlan& plan, const QDUPK_PKTITEM_T& item, const ItemFile& file,
              const Target& target, Fault& fault) noexcept {
    FileSystemRoom* room = RoomOf(plan, target);
    if (room == nullptr) {
        return Refuse(fault, RoomProblem::kFileSystems);
    }
    const std::uint64_t need = BlocksFor(item.nDataSize, target.blockSize);
    if (file.bTemporary) {
        room->largestTemporary = need > room->largestTemporary ? need : room->largestTemporary;
    } else {
        room->staying += need - (target.replaced < need ? target.replaced : need);
    }
    fault.needed = room->staying + room->largestTemporary;
    fault.available = room->available;
    return fault.needed > room->available ? Refuse(fault, RoomProblem::kNoRoom) : 0;
}

// Counts item `index`'s file; a refusal names the item and its path.
int PlanItem(const QDUPK_PKTITEM_T& item, std::int32_t index, const char* szTempDir, RoomPlan& plan,
             Fault& fault) noexcept {
    ItemFile file{};
    fault.item = index;
    if (!ChooseItemFile(item, szTempDir, &file)) {
        return Refuse(fault, RoomProblem::kPathTooLong);
    }
    static_cast<void>(qd::CopyText(fault.path, file.szPath));
    Target target{};
    int ret = LocateTarget(fault, file, &target);
    if (ret == 0 && target.takesRoom) {
        ret = AddToPlan(plan, item, file, target, fault);
    }
    return ret;
}

}  // namespace

int CheckItemsFit(const PackageIndex& index, const char* szTempDir, Report& report) noexcept {
    RoomPlan plan{};
    report.fault = Fault{};
    for (std::int32_t i = 0; i < index.itemCount; ++i) {
        const int ret = PlanItem(index.items[static_cast<std::size_t>(i)].head, i, szTempDir, plan,
                                 report.fault);
        if (ret != 0) {
            return Fail(report, ret, FaultPart::kRoom, FaultKind::kRefused, i);
        }
    }
    return 0;
}

}  // namespace qdpkg
