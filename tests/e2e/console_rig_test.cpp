// The web console on a LAN of cameras (scripts/vlan.sh), as
// scripts/demo.sh --console runs it: qdupk console binds its socket on this
// namespace's loopback and then enters the LAN's PC namespace (--netns),
// where its search finds the cameras; a package sent through the API is
// rolled out to them and its events stream to "finished".
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <fcntl.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package_writer.h"
#include "qd_owners.h"
#include "test_support.h"
#include "test_timing.h"
#include "virtual_lan.h"

namespace qdtest {
namespace {

const std::string kSettings = "exposure=auto\n";
constexpr int kCameras = 3;

struct ConsoleAddress {
    int port = 0;
    std::string token;
};

// "open http://127.0.0.1:PORT/#t=TOKEN", the line the console prints once
// it serves.
bool ParseAddress(const std::string& output, ConsoleAddress& address) {
    const std::string prefix = "open http://127.0.0.1:";
    const std::size_t at = output.find(prefix);
    const std::size_t end = output.find('\n', at);
    if (at == std::string::npos || end == std::string::npos) {
        return false;
    }
    const std::string rest = output.substr(at + prefix.size(), end - at - prefix.size());
    const std::size_t slash = rest.find("/#t=");
    if (slash == std::string::npos) {
        return false;
    }
    address.port = std::stoi(rest.substr(0, slash));
    address.token = rest.substr(slash + 4);
    return true;
}

struct SseEvent {
    std::uint64_t id = 0;
    std::string type;
    nlohmann::json data;
};

// The stream's events in order; comment lines (keep-alives) are skipped.
std::vector<SseEvent> ParseEvents(const std::string& text) {
    std::vector<SseEvent> events;
    std::istringstream in(text);
    std::string line;
    SseEvent event;
    while (std::getline(in, line)) {
        if (line.rfind("id: ", 0) == 0) {
            event.id = std::stoull(line.substr(4));
        } else if (line.rfind("event: ", 0) == 0) {
            event.type = line.substr(7);
        } else if (line.rfind("data: ", 0) == 0) {
            event.data = nlohmann::json::parse(line.substr(6));
        } else if (line.empty() && !event.type.empty()) {
            events.push_back(event);
            event = SseEvent{};
        }
    }
    return events;
}

bool SameNetns(pid_t pid, const std::string& ns) {
    struct stat a {};
    struct stat b {};
    return stat(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), &a) == 0 &&
           stat(("/run/netns/" + ns).c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

class ConsoleOnLan : public ::testing::Test {
  protected:
    void SetUp() override {
        QD_SKIP_WITHOUT_RIG();
        if (!FileExists(VirtualCamera::DefaultDaemon())) {
            GTEST_SKIP() << "no daemon built at " << VirtualCamera::DefaultDaemon();
        }
    }

    // Starts the console in the LAN's PC namespace and opens a session.
    void StartConsole(const VirtualLan& lan) {
        const std::string out = scratch_.file("console.out");
        const qd::UniqueFd fd(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.valid());
        console_.Start({QDUPK_EXE, "console", "--listen", "127.0.0.1:0", "--netns", lan.pcNs(),
                        "--interface", "pc0", "--search-timeout", "1"},
                       {}, fd.get());
        ASSERT_TRUE(PollUntil(Millis(15000), [&] {
            return ParseAddress(ReadFile(out), address_) || !console_.Running();
        }));
        ASSERT_GT(address_.port, 0) << ReadFile(out);
        origin_ = "http://127.0.0.1:" + std::to_string(address_.port);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", address_.port);
        client_->set_read_timeout(120, 0);
        const nlohmann::json token = {{"token", address_.token}};
        auto r =
            client_->Post("/api/session", {{"Origin", origin_}}, token.dump(), "application/json");
        ASSERT_TRUE(r) << httplib::to_string(r.error());
        ASSERT_EQ(r->status, 204) << r->body;
        const std::string cookie = r->get_header_value("Set-Cookie");
        client_->set_default_headers(
            {{"Origin", origin_}, {"Cookie", cookie.substr(0, cookie.find(';'))}});
    }

    nlohmann::json Json(const std::string& path) {
        auto r = client_->Get(path.c_str());
        if (!r || r->status != 200) {
            ADD_FAILURE() << path << ": " << (r ? r->body : httplib::to_string(r.error()));
            return nlohmann::json();
        }
        return nlohmann::json::parse(r->body);
    }

    // Searched, and every camera listed with its status.
    bool AllListed(const nlohmann::json& cameras) {
        if (!cameras.is_object() || cameras.at("searching") != false ||
            cameras.at("cameras").size() != kCameras) {
            return false;
        }
        return std::all_of(cameras.at("cameras").begin(), cameras.at("cameras").end(),
                           [](const nlohmann::json& c) { return !c.at("status").is_null(); });
    }

    std::string Events(const std::string& path) {
        std::string text;
        auto r = client_->Get(path.c_str(), [&](const char* data, std::size_t size) {
            text.append(data, size);
            return true;
        });
        EXPECT_TRUE(r && r->status == 200) << text;
        return text;
    }

    ScratchDir scratch_;
    ChildProcess console_;
    ConsoleAddress address_;
    std::string origin_;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(ConsoleOnLan, SearchFindsTheCamerasAndARolloutThroughTheApiUpgradesThem) {
    VirtualLan lan(kCameras);
    ASSERT_TRUE(lan.Start({"--no-mcu"}));
    StartConsole(lan);
    ASSERT_NE(client_, nullptr);
    EXPECT_TRUE(SameNetns(console_.pid(), lan.pcNs()));

    nlohmann::json cameras;
    EXPECT_TRUE(PollUntil(Millis(20000), [&] { return AllListed(cameras = Json("/api/cameras")); }))
        << cameras.dump();
    std::set<std::string> found;
    for (const nlohmann::json& c : cameras.at("cameras")) {
        EXPECT_EQ(c.at("source"), "search") << c.dump();
        found.insert(c.at("target").get<std::string>());
    }
    nlohmann::json targets = nlohmann::json::array();
    for (int i = 0; i < kCameras; ++i) {
        EXPECT_EQ(found.count(lan.camera(i).target), 1U) << lan.camera(i).target;
        targets.push_back(lan.camera(i).target);
    }

    const std::string package = qdupk::BuildPackage(
        {"site",
         "4.2",
         "IPC-1",
         {qdupk::DataItem(QDUPK_ITEM_KERNEL, std::string(30000, 'k')),
          qdupk::DataItem(QDUPK_ITEM_FILE, kSettings, lan.sharedDest() + "/settings.ini")}});
    auto r = client_->Post("/api/packages?name=site.upg", package, "application/octet-stream");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
    const nlohmann::json verdict = nlohmann::json::parse(r->body);
    ASSERT_EQ(verdict.at("accepted"), true) << r->body;

    const nlohmann::json start = {
        {"package", verdict.at("id")}, {"targets", targets}, {"parallel", 2}};
    r = client_->Post("/api/rollouts", start.dump(), "application/json");
    ASSERT_TRUE(r && r->status == 202) << (r ? r->body : httplib::to_string(r.error()));
    const nlohmann::json rollout = nlohmann::json::parse(r->body);

    const std::vector<SseEvent> events = ParseEvents(Events(rollout.at("events")));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().type, "state");
    EXPECT_EQ(events.back().type, "finished");
    EXPECT_EQ(events.back().data.at("exit"), 0) << events.back().data.dump();
    // Each camera's last word in the stream is its result.
    std::map<std::string, std::string> results;
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_GT(events[i].id, events[i - 1].id) << events[i].type;
        if (events[i].type == "camera" && !events[i].data.at("result").is_null()) {
            results[events[i].data.at("target").get<std::string>()] =
                events[i].data.at("result").get<std::string>();
        }
    }
    for (const nlohmann::json& target : targets) {
        EXPECT_EQ(results[target.get<std::string>()], "ok") << target;
    }
    const nlohmann::json report =
        Json("/api/rollouts/" + rollout.at("id").get<std::string>() + "/report.json");
    ASSERT_EQ(report.at("targets").size(), static_cast<std::size_t>(kCameras)) << report.dump();
    for (const nlohmann::json& entry : report.at("targets")) {
        EXPECT_EQ(entry.at("result"), "ok") << entry.dump();
    }
    for (int i = 0; i < kCameras; ++i) {
        EXPECT_EQ(ReadFile(lan.camera(i).dest + "/settings.ini"), kSettings) << lan.Log(i);
    }

    // A stop signal ends the console as its manual says.
    ASSERT_EQ(kill(console_.pid(), SIGTERM), 0);
    EXPECT_EQ(console_.Wait(Millis(10000)), 130);
}

}  // namespace
}  // namespace qdtest
