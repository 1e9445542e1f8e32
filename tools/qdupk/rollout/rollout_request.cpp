#include "rollout_request.h"

#include "rollout_status.h"

namespace qdupk {

PreparedRollout OpenAndVerify(const RolloutRequest& request, const char* unsent) {
    PreparedRollout prepared;
    prepared.package = OpenRolloutPackage(request.package);
    prepared.verified = VerifyOpened(prepared.package, request.package,
                                     PolicyFromKeyFiles(request.publicKeys, request.minCounter),
                                     &prepared.info, unsent);
    return prepared;
}

void AskStatusBefore(const RolloutRequest& request, const std::vector<HostPort>& targets,
                     PreparedRollout& prepared) {
    prepared.status = std::make_unique<StatusClient>();
    if (request.waitReturn) {
        prepared.before = AskBefore(*prepared.status, targets);
    }
}

RolloutSettings SettingsFor(const RolloutRequest& request, const PreparedRollout& prepared) {
    RolloutSettings settings;
    settings.attempt = request.attempt;
    settings.attempt.packageFd = prepared.package.fd.get();
    settings.attempt.size = prepared.package.size;
    settings.policy = request.policy;
    settings.waitReturn = request.waitReturn;
    settings.probe = prepared.probe.get();
    settings.status = prepared.status.get();
    settings.before = prepared.before;
    settings.identity = prepared.info.identity;
    settings.journaled = HasBootImages(prepared.info);
    settings.confirmTimeout = request.confirmTimeout;
    settings.repushRecovery = request.repushRecovery;
    return settings;
}

}  // namespace qdupk
