// qd-powercut: the rig's side of the power-cut layer.
//
//   qd-powercut snapshot DIR STATE   the files of DIR as they are now are
//                                    durable; counter and events start over
//   qd-powercut rollback DIR STATE   the power cut: every file of DIR back
//                                    to its last flush, its block in flight
//                                    half-written; then as snapshot
//
// Run rollback only once every process that wrote to DIR has ended.
#include <cstdio>
#include <cstring>

#include "powercut_store.h"

int main(int argc, char** argv) {
    if (argc != 4 ||
        (std::strcmp(argv[1], "snapshot") != 0 && std::strcmp(argv[1], "rollback") != 0)) {
        static_cast<void>(std::fprintf(stderr, "usage: qd-powercut snapshot|rollback DIR STATE\n"));
        return 2;
    }
    const qdpc::Layout layout{argv[2], argv[3]};
    const bool rollback = std::strcmp(argv[1], "rollback") == 0;
    if (rollback && !qdpc::RollBack(layout)) {
        static_cast<void>(std::fprintf(stderr, "qd-powercut: could not roll %s back from %s\n",
                                       argv[2], argv[3]));
        return 1;
    }
    if (!qdpc::ResetEvents(layout) || !qdpc::Snapshot(layout)) {
        static_cast<void>(
            std::fprintf(stderr, "qd-powercut: could not record %s in %s\n", argv[2], argv[3]));
        return 1;
    }
    return 0;
}
