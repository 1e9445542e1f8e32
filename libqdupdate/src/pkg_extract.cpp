// Extraction pass: each verified item is written to its file and handed to
// the install callback, in item order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pkg_steps.h"
#include "qd_files.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"

namespace qdpkg {

namespace {

// A write that stores nothing may be a passing condition: it is tried again
// a few times before it counts as a failure, never skipping the chunk.
int WriteChunk(std::FILE* fpDst, const unsigned char* chunk, std::size_t size) noexcept {
    const std::size_t written = qd::WriteAllRetrying(fpDst, chunk, size);
    if (written != size) {
        QD_LOG_ERR("write file error:%d\n", static_cast<int>(written));
        return QDUPKERR_COPY;
    }
    return 0;
}

struct KernelCopy {
    std::size_t copied;  // bytes now in the item file
    bool sourceEnded;    // the package ended before the item did
    bool repositioned;   // the package stream reads on behind the copied bytes
};

// Copies inside the kernel, without passing the data through a chunk
// buffer: for large items this takes a fraction of the time of 4096-byte
// reads and writes. Stops at the first call that moves nothing (an error,
// a file system that cannot do it, the end of the package); what is left
// goes through the chunked copy, which reports failures as it always has.
KernelCopy CopyInKernel(std::FILE* fpDst, std::FILE* fpSrc, std::size_t size) noexcept {
    KernelCopy result{0, false, true};
    off_t offset = ftello(fpSrc);
    // Anything the caller left in the item file's buffer goes first.
    if (offset < 0 || std::fflush(fpDst) != 0) {
        return result;
    }
    while (result.copied < size) {
        const ssize_t n = copy_file_range(fileno(fpSrc), &offset, fileno(fpDst), nullptr,
                                          size - result.copied, 0);
        if (n > 0) {
            result.copied += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            result.sourceEnded = n == 0;
            break;
        }
    }
    // The stream's own read-ahead is stale now.
    result.repositioned = fseeko(fpSrc, offset, SEEK_SET) == 0;
    return result;
}

int CopyInChunks(std::FILE* fpDst, std::FILE* fpSrc, std::size_t remaining) noexcept {
    unsigned char chunk[kChunkSize];
    while (remaining > 0) {
        const std::size_t readSize = remaining < kChunkSize ? remaining : kChunkSize;
        const std::size_t got = std::fread(chunk, 1, readSize, fpSrc);
        if (got < readSize) {
            QD_LOG_ERR("read file error:%d\n", static_cast<int>(got));
            return QDUPKERR_INVALIDPKG;
        }
        const int ret = WriteChunk(fpDst, chunk, readSize);
        if (ret != 0) {
            return ret;
        }
        remaining -= readSize;
    }
    return 0;
}

// Item files are never writable by group or others and never setuid or
// setgid: any local process could otherwise rewrite a configuration file or
// a script that root runs later.
constexpr mode_t kItemFileMode = 0755;

// A new file gets kItemFileMode. A file that is replaced keeps each of
// those bits it had and gains none; a script keeps (or gets) its owner's
// execute bit, since it is run from there. Only the owner's bit is ever
// added: the owner could set it anyway.
mode_t ItemFileMode(const struct stat& st, bool created, std::int32_t itemType) noexcept {
    if (created) {
        return kItemFileMode;
    }
    const mode_t kept = st.st_mode & kItemFileMode;
    return itemType == QDUPK_ITEM_BASH ? (kept | S_IXUSR) : kept;
}

// Sets the mode on the open descriptor, never by name (the name may have
// been replaced meanwhile), and before any data is written, so a
// world-writable file being replaced is closed to others at once. Something that is no regular file
// (a device node, a pipe) keeps its mode. A file system without modes (FAT) refuses the change; the
// item goes on with an error line.
void SetItemFileMode(int fd, bool created, std::int32_t itemType, const char* szPath) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    const mode_t mode = ItemFileMode(st, created, itemType);
    if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
        QD_LOG_ERR("mode of file[%s] not set: %s\n", szPath, std::strerror(errno));
    }
}

// A destination is written in place: a link is followed, and the inode,
// owner and other names stay.
qd::FilePtr OpenDestination(const char* szPath, std::int32_t itemType) noexcept {
    bool created = false;
    qd::UniqueFd fd(::open(szPath, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        // Owner-only until SetItemFileMode gives it its mode, whatever the
        // umask.
        fd.reset(::open(szPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        created = true;
    }
    if (!fd.valid()) {
        return nullptr;
    }
    SetItemFileMode(fd.get(), created, itemType, szPath);
    qd::FilePtr fp(::fdopen(fd.get(), "wb"));
    if (fp) {
        static_cast<void>(fd.release());  // the stream owns it now
    }
    return fp;
}

// Opens the item's file for writing, empty, its mode already set.
qd::FilePtr OpenItemFile(const ItemFile& file, std::int32_t itemType) noexcept {
    if (!file.bTemporary) {
        return OpenDestination(file.szPath, itemType);
    }
    qd::FilePtr fp = qd::CreateFreshFile(file.szPath);
    if (fp) {
        SetItemFileMode(fileno(fp.get()), true, itemType, file.szPath);
    }
    return fp;
}

// Writes the item's data to its file. On failure the file is removed, also when it was the item's
// destination.
int ExtractItem(std::FILE* fpFile, const QDUPK_PKTITEM_T& item, const ItemFile& file) noexcept {
    const char* szPath = file.szPath;
    qd::FilePtr fpDst = OpenItemFile(file, item.nItemType);
    if (!fpDst) {
        QD_LOG_ERR("open file[%s] failed\n", szPath);
        return QDUPKERR_COPY;
    }
    // Chunks are already 4096 bytes; unbuffered writes make every write
    // error show at the chunk that caused it instead of at the close; should
    // that fail, the checked close still reports it.
    static_cast<void>(std::setvbuf(fpDst.get(), nullptr, _IONBF, 0));
    int ret = MyCopyFile(fpDst.get(), fpFile, item.nDataSize);
    if (!qd::CloseChecked(fpDst) && ret == 0) {
        QD_LOG_ERR("write file error:%d\n", 0);
        ret = QDUPKERR_COPY;
    }
    if (ret != 0) {
        QD_LOG_ERR("copy file error=%d\n", ret);
        static_cast<void>(std::remove(szPath));  // it may never have been created
        return QDUPKERR_COPY;
    }
    return 0;
}

int InstallItem(std::FILE* fpFile, const QDUPK_PKTITEM_T& item, const ItemFile& file,
                QDUPK_UPDATECB fdCallback) noexcept {
    const int ret = ExtractItem(fpFile, item, file);
    if (ret != 0) {
        return ret;
    }
    const int cbRet =
        fdCallback(file.szPath, item.szDstFileName, static_cast<QDUPK_ITEM_TYPE>(item.nItemType),
                   item.szDevID, item.szDesc, item.bRebootFlag);
    if (file.bTemporary) {
        // One left behind is replaced when its name is next used.
        static_cast<void>(std::remove(file.szPath));
    }
    if (cbRet != 0) {
        QD_LOG_ERR("fdCallback error=%d\n", cbRet);
    }
    return cbRet;
}

bool Declined(const QDUPK_PKTITEM_T& item, const ItemFile& file, QDUPK_CKECKCB fdCheckCb) noexcept {
    if (fdCheckCb == nullptr) {
        return false;
    }
    return fdCheckCb(file.szPath, item.szDstFileName, static_cast<QDUPK_ITEM_TYPE>(item.nItemType),
                     item.szDevID, item.szDesc) != 0;
}

// One item, its data read from where the index found it.
int CopyOneItem(std::FILE* fpFile, const IndexedItem& indexed, const char* szTempDir,
                QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) noexcept {
    const QDUPK_PKTITEM_T& item = indexed.head;
    ItemFile file{};
    // Cannot cut: the directory length is checked and decoded texts are
    // terminated within their 128 bytes.
    if (!ChooseItemFile(item, szTempDir, &file)) {
        QD_LOG_ERR("item path too long\n");
        return QDUPKERR_COPY;
    }
    if (Declined(item, file, fdCheckCb)) {
        qd::LogPlain("%s not user not return\n", file.szPath);
        return 0;
    }
    if (!SeekTo(fpFile, static_cast<off_t>(indexed.dataOffset))) {
        return QDUPKERR_INVALIDPKG;
    }
    return InstallItem(fpFile, item, file, fdCallback);
}

}  // namespace

// Flash images always go to the temporary file, even when they name a
// destination; other items go to their destination when they have one.
bool ChooseItemFile(const QDUPK_PKTITEM_T& item, const char* szTempDir, ItemFile* pFile) noexcept {
    const char* extension = "bin";
    if (item.nItemType > QDUPK_ITEM_UBOOT && item.szDstFileName[0] != '\0') {
        pFile->bTemporary = false;
        return qd::CopyText(pFile->szPath, item.szDstFileName);
    }
    if (item.nItemType == QDUPK_ITEM_BASH) {
        extension = "sh";
    }
    pFile->bTemporary = true;
    return qd::FormatText(pFile->szPath, sizeof pFile->szPath, "%s/updatetmp.%s", szTempDir,
                          extension);
}

// The kernel copy first; the chunked copy takes over where it stopped. A
// stop inside a 4096-byte chunk is reported as the chunked copy would have
// reported that chunk: a short read, or a write that stored only part.
int MyCopyFile(std::FILE* fpDst, std::FILE* fpSrc, std::int32_t size) noexcept {
    const auto total = static_cast<std::size_t>(size);
    const KernelCopy kernel = CopyInKernel(fpDst, fpSrc, total);
    const auto partial = static_cast<int>(kernel.copied % kChunkSize);
    if (!kernel.repositioned || (kernel.sourceEnded && partial != 0)) {
        QD_LOG_ERR("read file error:%d\n", partial);
        return QDUPKERR_INVALIDPKG;
    }
    if (kernel.copied < total && partial != 0) {
        QD_LOG_ERR("write file error:%d\n", partial);
        return QDUPKERR_COPY;
    }
    return CopyInChunks(fpDst, fpSrc, total - kernel.copied);
}

int ReadyToExtract(const PackageIndex& index, const char* szTempDir, Report& report) noexcept {
    if (std::strlen(szTempDir) > kMaxTempDirLength) {
        report.fault = Fault{};
        report.fault.room = RoomProblem::kTempDirTooLong;
        return Fail(report, QDUPKERR_COPY, FaultPart::kRoom, FaultKind::kRefused);
    }
    return CheckItemsFit(index, szTempDir, report);
}

int ExtractItems(std::FILE* fpFile, const PackageIndex& index, const char* szTempDir,
                 QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb,
                 std::int32_t* pFailed) noexcept {
    for (std::int32_t i = 0; i < index.itemCount; ++i) {
        const int ret = CopyOneItem(fpFile, index.items[static_cast<std::size_t>(i)], szTempDir,
                                    fdCallback, fdCheckCb);
        if (ret != 0) {
            if (pFailed != nullptr) {
                *pFailed = i;
            }
            return ret;
        }
    }
    return 0;
}

}  // namespace qdpkg
