// The update on one open descriptor: the one walk, the seal judged from
// its index, the room check, the gate, then the items.
#include <fcntl.h>

#include "pkg_install.h"
#include "pkg_steps.h"
#include "qd_log.h"
#include "qd_owners.h"
#include "qd_text.h"

namespace qdpkg {

namespace {

// A stream of its own over the caller's open file.
qd::FilePtr StreamOver(int fd) noexcept {
    qd::UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) {
        return nullptr;
    }
    qd::FilePtr fp(::fdopen(copy.get(), "rb"));
    if (fp) {
        static_cast<void>(copy.release());  // the stream owns it now
    }
    return fp;
}

UpdateOutcome Stop(UpdateOutcome& outcome, UpdateStage stage, int code) noexcept {
    outcome.stage = stage;
    outcome.code = code;
    return outcome;
}

// Every check before the gate; the index holds what the walk found.
UpdateOutcome Check(std::FILE* fp, const DescriptorUpdate& request, PackageIndex* index) noexcept {
    UpdateOutcome outcome;
    Report report;
    const char* device = request.szDevID != nullptr ? request.szDevID : kOwnDevice;
    int ret = IndexPackage(fp, device, DigestFor(request.seal), index, report);
    outcome.part = report.fault.part;
    static_cast<void>(qd::CopyText(outcome.device, index->head.szDevID));  // same size
    if (ret != 0) {
        outcome.fault = report.fault;
        LogWalkRefusal(QDUPK_HERE, report.fault, "", index->head, true);
        return Stop(outcome, UpdateStage::kVerify, ret);
    }
    ret = JudgeSeal(*index, request.seal, &outcome.seal, report);
    if (ret != 0) {
        outcome.fault = report.fault;
        LogSealRefusal(QDUPK_HERE, report.fault, outcome.seal);
        return Stop(outcome, UpdateStage::kSeal, ret);
    }
    ret = ReadyToExtract(*index, request.szTempDir, report);
    if (ret != 0) {
        outcome.fault = report.fault;
        LogRoomRefusal(QDUPK_HERE, report.fault, request.szTempDir);
        QD_LOG_ERR("CopyItem error:%d\n", ret);
        return Stop(outcome, UpdateStage::kRoom, ret);
    }
    return outcome;
}

}  // namespace

UpdateOutcome UpdateFromDescriptor(int fd, const DescriptorUpdate& request) noexcept {
    UpdateOutcome outcome;
    const qd::FilePtr fp = StreamOver(fd);
    if (!fp || request.szTempDir == nullptr || request.fdCallback == nullptr) {
        QD_LOG_ERR("invalid argument\n");
        return Stop(outcome, UpdateStage::kVerify, QDUPKERR_OPENFILE);
    }
    PackageIndex index;
    outcome = Check(fp.get(), request, &index);
    if (outcome.code != 0) {
        return outcome;
    }
    int ret = request.gate != nullptr ? request.gate->BeforeInstall(outcome.seal, index) : 0;
    if (ret != 0) {
        return Stop(outcome, UpdateStage::kGate, ret);
    }
    ret = ExtractItems(fp.get(), index, request.szTempDir, request.fdCallback, nullptr,
                       &outcome.fault.item);
    if (ret != 0) {
        QD_LOG_ERR("CopyItem error:%d\n", ret);
        return Stop(outcome, UpdateStage::kInstall, ret);
    }
    return outcome;
}

}  // namespace qdpkg
