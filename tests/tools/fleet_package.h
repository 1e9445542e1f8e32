// The package the rollout and console tests send: one file item of
// patterned bytes, as large as the test needs.
#ifndef QD_TEST_FLEET_PACKAGE_H
#define QD_TEST_FLEET_PACKAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "libqdupdate.h"

namespace qdtest {

// Named "fleet", version "2.0", for device "QUNDAR"; one item of `type`
// bound for /tmp/x.
std::string FleetPackage(std::size_t dataSize, std::int32_t type = QDUPK_ITEM_FILE);

}  // namespace qdtest

#endif  // QD_TEST_FLEET_PACKAGE_H
