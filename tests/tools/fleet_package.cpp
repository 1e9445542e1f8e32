#include "fleet_package.h"

#include "package_writer.h"

namespace qdtest {

std::string FleetPackage(std::size_t dataSize, std::int32_t type) {
    qdupk::PackagePlan plan;
    plan.name = "fleet";
    plan.version = "2.0";
    plan.devId = "QUNDAR";
    qdupk::ItemPlan item;
    item.type = type;
    item.destination = "/tmp/x";
    for (std::size_t i = 0; i < dataSize; ++i) {
        item.data += static_cast<char>(i * 13 % 251);
    }
    plan.items.push_back(item);
    return qdupk::BuildPackage(plan);
}

}  // namespace qdtest
