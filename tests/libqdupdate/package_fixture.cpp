#include "package_fixture.h"

#include <sys/stat.h>

#include <sstream>

#include "qd_bytes.h"

namespace qdtest {

std::vector<InstallCall> PackageTest::calls_;
std::vector<int> PackageTest::results_;
int PackageTest::checkCalls_ = 0;
int PackageTest::declineCall_ = -1;

std::vector<std::string> Messages(const std::string& output) {
    std::vector<std::string> messages;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t end = line.find("): ");
        if (line.rfind("ERROR(", 0) == 0 && end != std::string::npos) {
            messages.push_back("E " + line.substr(end + 3));
        } else if (line.rfind('(', 0) == 0 && end != std::string::npos) {
            messages.push_back("T " + line.substr(end + 3));
        } else {
            messages.push_back("P " + line);
        }
    }
    return messages;
}

bool Contains(const std::vector<std::string>& messages, const std::string& message) {
    for (const std::string& m : messages) {
        if (m == message) {
            return true;
        }
    }
    return false;
}

qdupk::ItemPlan Item(int type, const std::string& data, const std::string& dst) {
    qdupk::ItemPlan item = qdupk::DataItem(type, data, dst);
    item.devId = "dev-" + std::to_string(type);
    item.description = "desc-" + std::to_string(type);
    item.rebootFlag = type % 2;
    return item;
}

qdupk::PackagePlan Package(std::vector<qdupk::ItemPlan> items, const std::string& devId) {
    qdupk::PackagePlan plan;
    plan.name = "Camera firmware";
    plan.version = "V2.0.1";
    plan.devId = devId;
    plan.items = std::move(items);
    return plan;
}

std::size_t ItemHeadOffset(const qdupk::PackagePlan& plan, std::size_t index) {
    std::size_t offset = 432;
    for (std::size_t i = 0; i < index; ++i) {
        offset += 456 + plan.items[i].data.size();
    }
    return offset;
}

void PatchLe32(std::string& bytes, std::size_t offset, std::int32_t value) {
    qd::StoreLe32(reinterpret_cast<unsigned char*>(&bytes[offset]),
                  static_cast<std::uint32_t>(value));
}

void PackageTest::SetUp() {
    calls_.clear();
    results_.clear();
    checkCalls_ = 0;
    declineCall_ = -1;
    package_ = scratch_.file("package.upg");
    tempDir_ = scratch_.path();
}

void PackageTest::TearDown() {
    calls_.clear();
}

std::string PackageTest::WritePackage(const std::string& bytes) {
    WriteFile(package_, bytes);
    return package_;
}

std::string PackageTest::WritePackage(const qdupk::PackagePlan& plan) {
    return WritePackage(qdupk::BuildPackage(plan));
}

int PackageTest::Update(const std::string& devId, QDUPK_CKECKCB check) {
    return Update(devId, tempDir_, check);
}

int PackageTest::Update(const std::string& devId, const std::string& tempDir, QDUPK_CKECKCB check) {
    StdoutCapture capture;
    const int ret = libqdupk_updatecheck(package_.c_str(), devId.c_str(), tempDir.c_str(),
                                         RecordInstall, check);
    messages_ = Messages(capture.Finish());
    return ret;
}

int PackageTest::RecordInstall(const char* path, const char* dst, QDUPK_ITEM_TYPE type,
                               const char* devId, const char* desc, int reboot) {
    InstallCall call{path, dst, static_cast<int>(type), devId, desc, reboot, "", 0};
    struct stat st {};
    if (::stat(path, &st) == 0) {
        call.mode = st.st_mode & 07777;
        call.content = ReadFile(path);
    }
    const std::size_t index = calls_.size();
    calls_.push_back(call);
    return index < results_.size() ? results_[index] : 0;
}

int PackageTest::DeclineOne(const char* path, const char*, QDUPK_ITEM_TYPE, const char*,
                            const char*) {
    // The file is about to be written, not yet there.
    EXPECT_FALSE(FileExists(path));
    return checkCalls_++ == declineCall_ ? 1 : 0;
}

}  // namespace qdtest
