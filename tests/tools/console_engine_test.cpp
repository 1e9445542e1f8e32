// The web console's engine without HTTP: its event streams, its phase words
// and request checks, and the engine itself against stand-in cameras on
// loopback (verdicts, rollouts with their events and reports, cancel and
// abort, and the requests it refuses without changing anything).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "console_engine.h"
#include "console_events.h"
#include "console_request.h"
#include "console_rollout_view.h"
#include "fake_status_camera.h"
#include "fake_upload_server.h"
#include "fleet_package.h"
#include "package_reader.h"
#include "sealed_package.h"
#include "test_support.h"
#include "test_timing.h"

namespace qdtest {
namespace {

using nlohmann::json;
using qdupk::ApiAnswer;
using qdupk::ConsoleEngine;
using qdupk::ConsoleEvent;
using qdupk::EventStream;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- event streams ----------------------------------------------------------

ConsoleEvent Event(std::uint64_t sequence, const char* type,
                   std::optional<std::size_t> camera = std::nullopt) {
    return {sequence, type, "{\"n\": " + std::to_string(sequence) + "}", camera};
}

TEST(ConsoleEvents, ProgressIsMergedPerCameraAndAFullBacklogBecomesTheState) {
    EXPECT_EQ(qdupk::FormatEvent(Event(7, "camera")), "id: 7\nevent: camera\ndata: {\"n\": 7}\n\n");

    EventStream stream;
    int statesMade = 0;
    const EventStream::StateMaker state = [&statesMade] {
        ++statesMade;
        return Event(99, "state");
    };
    stream.Push(Event(1, "progress", 0), state);
    stream.Push(Event(2, "progress", 1), state);
    stream.Push(Event(3, "camera"), state);
    stream.Push(Event(4, "progress", 0), state);
    std::string text;
    ASSERT_TRUE(stream.Take(text, Millis(0)));
    // Camera 0's older progress is gone; the newer one comes last, so ids rise.
    EXPECT_EQ(text, qdupk::FormatEvent(Event(2, "progress", 1)) +
                        qdupk::FormatEvent(Event(3, "camera")) +
                        qdupk::FormatEvent(Event(4, "progress", 0)));

    for (std::uint64_t i = 10; i < 10 + qdupk::kStreamBacklog + 1; ++i) {
        stream.Push(Event(i, "camera"), state);
    }
    stream.Push(Event(500, "finished"), state);
    text.clear();
    ASSERT_TRUE(stream.Take(text, Millis(0)));
    EXPECT_EQ(text,
              qdupk::FormatEvent(Event(99, "state")) + qdupk::FormatEvent(Event(500, "finished")));
    EXPECT_EQ(statesMade, 1);

    stream.Push(Event(501, "camera"), state);
    stream.Close();
    text.clear();
    EXPECT_TRUE(stream.Take(text, Millis(0)));  // what was pushed before the close
    EXPECT_FALSE(stream.Take(text, Millis(0)));
    stream.Push(Event(502, "camera"), state);  // after the end: dropped
    EXPECT_FALSE(stream.Take(text, Millis(0)));
}

TEST(ConsoleEvents, TheHubNumbersEventsAndKeepsToItsStreamLimit) {
    qdupk::EventHub hub;
    const auto state = [] { return std::string("{}"); };
    EXPECT_EQ(hub.Publish("camera", "{}", std::nullopt, state), 1U);
    std::vector<std::shared_ptr<EventStream>> open;
    for (std::size_t i = 0; i < qdupk::kMaxEventStreams; ++i) {
        open.push_back(hub.Open("{\"s\": 1}"));
        ASSERT_NE(open.back(), nullptr);
    }
    EXPECT_EQ(hub.Open("{}"), nullptr);
    open.front()->Detach();  // a page went away: its place is free again
    EXPECT_NE(hub.Open("{}"), nullptr);

    EXPECT_EQ(hub.Publish("camera", "{\"c\": 2}", std::nullopt, state), 2U);
    std::string text;
    ASSERT_TRUE(open[1]->Take(text, Millis(0)));
    EXPECT_EQ(
        text,
        "id: 1\nevent: state\ndata: {\"s\": 1}\n\nid: 2\nevent: camera\ndata: {\"c\": 2}\n\n");
    EXPECT_FALSE(open.front()->Take(text, Millis(0)));
    hub.CloseAll();
    text.clear();
    EXPECT_FALSE(open[1]->Take(text, Millis(0)));
}

// --- phases and request bodies -------------------------------------------------------

TEST(ConsoleView, PhasesFollowTheLoopsStatesAndTheVerdict) {
    const std::map<std::string, std::string> flights = {
        {"connecting", "uploading"},
        {"sending", "uploading"},
        {"stalled 4 s", "uploading"},
        {"retry in 2 s", "uploading"},
        {"asking why", "uploading"},
        {"installing", "installing"},
        {"rebooting", "rebooting"},
        {"confirming: trial", "rebooting"},
        {"in recovery; again in 4 s", "rebooting"},
    };
    for (const auto& [state, phase] : flights) {
        EXPECT_EQ(qdupk::FlightPhase(state), phase) << state;
    }
    qdupk::TargetRecord record;
    EXPECT_STREQ(qdupk::FinishedPhase(record), "not-started");
    record.result = qdupk::TargetResult::kOk;
    EXPECT_STREQ(qdupk::FinishedPhase(record), "acknowledged");
    record.back = qdupk::BackState::kYes;
    EXPECT_STREQ(qdupk::FinishedPhase(record), "back");
    record.confirmed = qdupk::BackState::kYes;
    EXPECT_STREQ(qdupk::FinishedPhase(record), "confirmed");
    record.result = qdupk::TargetResult::kRolledBack;
    EXPECT_STREQ(qdupk::FinishedPhase(record), "failed");
}

TEST(ConsoleRequest, DefaultsAreTheCommandLinesAndEveryMistakeNamesItsMember) {
    std::string error;
    std::optional<qdupk::RolloutBody> body = qdupk::ParseRolloutBody(
        json::parse(R"({"package": "p1", "targets": ["10.0.0.2:80"]})"), error);
    ASSERT_TRUE(body) << error;
    EXPECT_EQ(body->options,
              json::parse(R"({"parallel": 4, "canary": 0, "max_failures": 0, "retries": null,
                              "wait_return": null, "confirm_timeout": 300, "timeout": 600,
                              "connect_timeout": 10})"));
    EXPECT_EQ(body->request.policy.retries, 2);
    EXPECT_FALSE(body->request.repushRecovery);
    EXPECT_FALSE(body->request.policy.maxFailures);

    body = qdupk::ParseRolloutBody(
        json::parse(R"({"package": "p1", "targets": ["a:1"], "retries": 0, "wait_return": 0.5,
                        "max_failures": 3, "canary": 1, "timeout": 20})"),
        error);
    ASSERT_TRUE(body) << error;
    EXPECT_EQ(body->request.policy.retries, 0);
    EXPECT_TRUE(body->request.repushRecovery);
    EXPECT_EQ(body->request.waitReturn, Millis(500));
    EXPECT_EQ(body->request.policy.maxFailures, 3U);
    EXPECT_EQ(body->request.attempt.timeout, Millis(20000));

    const std::map<std::string, std::string> refused = {
        {R"({"package": "p1", "targets": ["a:1"], "parallel": 0})",
         "parallel: needs a whole number from 1 to 10000, not 0"},
        {R"({"package": "p1", "targets": ["a:1"], "retries": 21})",
         "retries: needs a whole number from 0 to 20, not 21"},
        {R"({"package": "p1", "targets": ["a:1"], "timeout": "ten"})",
         "timeout: needs a number of seconds above 0, at most a day, not \"ten\""},
        {R"({"package": "p1", "targets": []})",
         "targets: name at least one camera, as [\"HOST:PORT\", ...]"},
        {R"({"package": "p1", "targets": ["a:0"]})",
         "targets: needs HOST:PORT with a port from 1 to 65535, not \"a:0\""},
        {R"({"targets": ["a:1"]})",
         "package: needs the id the package upload answered with, such as \"p1\""},
        {R"({"package": "p1", "targets": ["a:1"], "paralel": 2})", "unknown member \"paralel\""},
        {R"([1, 2])", "the body needs to be a JSON object with \"package\" and \"targets\""},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_FALSE(qdupk::ParseRolloutBody(json::parse(text), error)) << text;
        EXPECT_EQ(error, message);
    }
}

// --- the engine against stand-in cameras ----------------------------------------

std::string MakePackage(std::size_t dataSize = 100000) {
    return qdtest::FleetPackage(dataSize);
}

constexpr char kOld[] = "9999888877776666";

// A stand-in camera on a loopback address of its own: its upload port and
// its status, so status questions are answered at once.
struct Camera {
    Camera(const std::string& address, ServerReply reply)
        : upload(reply, nullptr, address),
          status(address, [] { return Report("good", kOld, 900); }) {}
    FakeUploadServer upload;
    FakeStatusCamera status;
};

struct Seen {
    std::uint64_t id = 0;
    std::string type;
    json data;
};

std::vector<Seen> Parse(const std::string& text) {
    std::vector<Seen> events;
    std::size_t at = 0;
    for (std::size_t end = text.find("\n\n"); end != std::string::npos;
         at = end + 2, end = text.find("\n\n", at)) {
        const std::string block = text.substr(at, end - at);
        const std::size_t type = block.find("\nevent: ");
        const std::size_t data = block.find("\ndata: ");
        Seen event;
        event.id = std::stoull(block.substr(4, type - 4));
        event.type = block.substr(type + 8, data - type - 8);
        event.data = json::parse(block.substr(data + 7));
        events.push_back(event);
    }
    return events;
}

class ConsoleEngineTest : public ::testing::Test {
  protected:
    std::unique_ptr<ConsoleEngine> Engine(const std::vector<std::string>& given,
                                          const std::vector<std::string>& keys = {}) {
        qdupk::ConsoleOptions options;
        options.sources.named = given;
        options.publicKeys = keys;
        options.workDir = work_.path();
        auto engine = std::make_unique<ConsoleEngine>(options);
        engine->Start();
        return engine;
    }

    static json Body(const ApiAnswer& answer) { return json::parse(answer.body); }

    // As the HTTP side takes an upload: streamed into a fresh path, then handed over.
    static ApiAnswer Send(ConsoleEngine& engine, const std::string& bytes,
                          const std::string& name = "fleet.upg") {
        ApiAnswer refusal;
        const std::string path = engine.NewPackagePath(refusal);
        if (path.empty()) {
            return refusal;
        }
        WriteFile(path, bytes);
        return engine.TakePackage(path, name);
    }

    static ApiAnswer Start(ConsoleEngine& engine, json body) { return engine.StartRollout(body); }

    static std::vector<Seen> ReadToEnd(EventStream& stream) {
        std::string text;
        const bool ended =
            PollUntil(Millis(30000), [&] { return !stream.Take(text, Millis(100)); });
        EXPECT_TRUE(ended);
        return Parse(text);
    }

    static json WaitFinished(ConsoleEngine& engine, const std::string& id) {
        json state;
        EXPECT_TRUE(PollUntil(Millis(30000), [&] {
            state = Body(engine.Rollout(id));
            return state["state"] == "finished";
        })) << state;
        return state;
    }

    static std::vector<std::string> Files(const std::string& dir) {
        std::vector<std::string> names;
        for (const char* name : {"incoming-1.upg", "incoming-2.upg", "incoming-3.upg",
                                 "incoming-4.upg", "incoming-5.upg"}) {
            if (FileExists(dir + "/" + name)) {
                names.emplace_back(name);
            }
        }
        return names;
    }

    ScratchDir work_;
    ScratchDir keys_;
};

TEST_F(ConsoleEngineTest, EachPackageGetsTheVerdictVerifyGivesAndOnlyTheLatestIsKept) {
    const TestSigningKey site;
    const TestSigningKey other;
    WriteFile(keys_.file("site.pub"), site.PublicHex() + "\n");
    const std::unique_ptr<ConsoleEngine> engine = Engine({}, {keys_.file("site.pub")});
    const std::string good = Sealed(MakePackage(), 3, &site);

    json verdict = Body(Send(*engine, good, "good.upg"));
    EXPECT_EQ(verdict["accepted"], true) << verdict;
    EXPECT_EQ(verdict["id"], "p1");
    EXPECT_EQ(verdict["name"], "good.upg");
    EXPECT_EQ(verdict["package"], "good.upg");
    EXPECT_EQ(verdict["size"], good.size());
    EXPECT_EQ(verdict["version"], "2.0");
    EXPECT_EQ(verdict["verified_with"], keys_.file("site.pub"));
    EXPECT_EQ(verdict["seal"]["state"], "signed");
    EXPECT_EQ(Files(work_.path()), std::vector<std::string>{"incoming-1.upg"});

    std::string damaged = good;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
    verdict = Body(Send(*engine, damaged, "damaged.upg"));
    EXPECT_EQ(verdict["accepted"], false);
    EXPECT_EQ(verdict["id"], "p2");
    EXPECT_TRUE(Contains(verdict["message"], "does not match its MD5 digest")) << verdict;
    EXPECT_EQ(Files(work_.path()), std::vector<std::string>{"incoming-2.upg"});

    verdict = Body(Send(*engine, Sealed(MakePackage(), 3, &other), "other.upg"));
    EXPECT_EQ(verdict["accepted"], false) << verdict;
    EXPECT_EQ(verdict["verified_with"], nullptr);
    const std::string otherMessage = verdict["message"];

    verdict = Body(Send(*engine, "not a package at all", ""));
    EXPECT_EQ(verdict["accepted"], false) << verdict;
    EXPECT_EQ(verdict["id"], "p4");
    EXPECT_FALSE(Contains(verdict["message"], work_.path())) << verdict;  // named for people

    // A rollout takes only the latest package, and only an accepted one,
    // refused in the words `qdupk rollout` uses.
    const Camera camera("127.26.1.1", ServerReply::kAck);
    const std::unique_ptr<ConsoleEngine> signedEngine =
        Engine({camera.upload.Address()}, {keys_.file("site.pub")});
    (void)Send(*signedEngine, Sealed(MakePackage(), 3, &other), "other.upg");
    ApiAnswer answer =
        Start(*signedEngine, {{"package", "p1"}, {"targets", {camera.upload.Address()}}});
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(Body(answer)["message"],
              "other.upg: the camera would refuse it: " + otherMessage + " (nothing sent)");
    (void)Send(*signedEngine, good, "good.upg");
    answer = Start(*signedEngine, {{"package", "p1"}, {"targets", {camera.upload.Address()}}});
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(Body(answer)["message"], "package p1 was replaced by p2");
    EXPECT_EQ(camera.upload.Connections(), 0);
}

TEST_F(ConsoleEngineTest, ARolloutsEventsRebuildItsStateAndItsReportMatchesIt) {
    const Camera canary("127.26.2.1", ServerReply::kClose);
    const Camera first("127.26.2.2", ServerReply::kAck);
    Camera second("127.26.2.3", ServerReply::kAck);
    const Camera slow("127.26.2.4", ServerReply::kSilent);
    const std::vector<std::string> targets = {canary.upload.Address(), first.upload.Address(),
                                              second.upload.Address(), slow.upload.Address()};
    const std::unique_ptr<ConsoleEngine> engine = Engine(targets);
    const std::string package = MakePackage();
    ASSERT_EQ(Body(Send(*engine, package))["accepted"], true);

    // The canary refuses: nobody else gets the package.
    ApiAnswer answer = Start(
        *engine,
        {{"package", "p1"}, {"targets", {targets[0], targets[1], targets[2]}}, {"canary", 1}});
    ASSERT_EQ(answer.status, 202) << answer.body;
    EXPECT_EQ(Body(answer), json::parse(R"({"id": "1", "events": "/api/rollouts/1/events"})"));
    json state = WaitFinished(*engine, "1");
    EXPECT_EQ(state["exit"], 4);
    EXPECT_EQ(state["stopped"], json::parse(R"(["canary"])"));
    EXPECT_EQ(state["cameras"][0]["phase"], "failed");
    EXPECT_EQ(state["cameras"][0]["result"], "refused");
    EXPECT_EQ(state["cameras"][1]["phase"], "not-started");
    EXPECT_EQ(first.upload.Connections(), 0);

    // The rest, followed through the event stream while the first one
    // keeps the others waiting.
    answer = Start(*engine, {{"package", "p1"},
                             {"targets", {targets[3], targets[1], targets[2]}},
                             {"parallel", 1},
                             {"timeout", 1}});
    ASSERT_EQ(answer.status, 202) << answer.body;
    ApiAnswer refusal;
    const std::shared_ptr<EventStream> stream = engine->Subscribe("2", refusal);
    ASSERT_NE(stream, nullptr) << refusal.body;
    const std::vector<Seen> events = ReadToEnd(*stream);
    ASSERT_GE(events.size(), 2U);
    ASSERT_EQ(events.front().type, "state");
    json rebuilt = events.front().data;
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_GT(events[i].id, events[i - 1].id) << events[i].type;
        const json& data = events[i].data;
        if (events[i].type == "camera") {
            rebuilt["cameras"][data["index"].get<std::size_t>()] = data;
        }
    }
    EXPECT_EQ(events.back().type, "finished");
    EXPECT_EQ(events.back().data["exit"], 3);
    state = WaitFinished(*engine, "2");
    EXPECT_EQ(rebuilt["cameras"], state["cameras"]);
    EXPECT_EQ(state["cameras"][0]["phase"], "failed");
    EXPECT_EQ(state["cameras"][0]["result"], "timeout");
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(state["cameras"][i]["phase"], "acknowledged") << state["cameras"][i];
        EXPECT_EQ(state["cameras"][i]["bytes"], package.size());
    }
    const std::vector<ReceivedUpload> got = second.upload.Received();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(std::string(got[0].body.begin(), got[0].body.end()), package);

    // The report is the state's results, and each camera remembers its own.
    const json report = Body(engine->Report("2", "json"));
    ASSERT_EQ(report["targets"].size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(report["targets"][i]["address"], state["cameras"][i]["target"]);
        EXPECT_EQ(report["targets"][i]["result"], state["cameras"][i]["result"]);
        EXPECT_EQ(report["targets"][i]["reason"], state["cameras"][i]["reason"]);
    }
    const ApiAnswer csv = engine->Report("2", "csv");
    EXPECT_EQ(csv.fileName, "rollout-2.csv");
    EXPECT_TRUE(Contains(csv.body, "\n" + targets[2] + ",ok,")) << csv.body;
    EXPECT_EQ(engine->Report("1", "csv").status, 404);  // only the latest is kept
    const json cameras = Body(engine->Cameras(false));
    ASSERT_EQ(cameras["cameras"].size(), 4U);
    EXPECT_EQ(cameras["cameras"][0]["last"]["rollout"], "1");
    EXPECT_EQ(cameras["cameras"][0]["last"]["result"], "refused");
    EXPECT_EQ(cameras["cameras"][2]["last"]["rollout"], "2");
    EXPECT_EQ(cameras["cameras"][2]["version"], "2.0");

    // A page that comes late gets the end at once.
    const std::shared_ptr<EventStream> late = engine->Subscribe("2", refusal);
    ASSERT_NE(late, nullptr);
    const std::vector<Seen> end = ReadToEnd(*late);
    ASSERT_EQ(end.size(), 2U);
    EXPECT_EQ(end[0].data, state);
    EXPECT_EQ(end[1].type, "finished");
}

TEST_F(ConsoleEngineTest, CancelLetsTheRunningUploadEndAndAbortEndsIt) {
    const Camera hanging("127.26.3.1", ServerReply::kSilent);
    const Camera waiting("127.26.3.2", ServerReply::kAck);
    const std::vector<std::string> targets = {hanging.upload.Address(), waiting.upload.Address()};
    const std::unique_ptr<ConsoleEngine> engine = Engine(targets);
    ASSERT_EQ(Body(Send(*engine, MakePackage()))["accepted"], true);
    const auto uploading = [&engine](const std::string& id) {
        return PollUntil(Millis(10000), [&] {
            return Body(engine->Rollout(id))["cameras"][0]["phase"] != "waiting";
        });
    };

    ASSERT_EQ(
        Start(*engine, {{"package", "p1"}, {"targets", targets}, {"parallel", 1}, {"timeout", 1}})
            .status,
        202);
    ASSERT_TRUE(uploading("1"));
    EXPECT_EQ(engine->Cancel("7").status, 404);
    const ApiAnswer cancel = engine->Cancel("1");
    EXPECT_EQ(cancel.status, 202);
    EXPECT_EQ(Body(cancel)["state"], "cancelling");
    json state = WaitFinished(*engine, "1");
    EXPECT_EQ(state["cameras"][0]["result"], "timeout") << state;  // it was let finish
    EXPECT_EQ(state["cameras"][1]["phase"], "not-started");
    EXPECT_EQ(state["stopped"], json::parse(R"(["interrupted"])"));
    EXPECT_EQ(state["exit"], 130);
    EXPECT_EQ(waiting.upload.Connections(), 0);
    EXPECT_EQ(engine->Cancel("1").status, 409);

    ASSERT_EQ(
        Start(*engine, {{"package", "p1"}, {"targets", targets}, {"parallel", 1}, {"timeout", 600}})
            .status,
        202);
    ASSERT_TRUE(uploading("2"));
    EXPECT_EQ(Body(engine->Abort("2"))["state"], "aborting");
    state = WaitFinished(*engine, "2");
    EXPECT_EQ(state["cameras"][0]["result"], "aborted") << state;
    EXPECT_TRUE(Contains(state["cameras"][0]["reason"], "aborted by the console's abort"));
    EXPECT_EQ(state["exit"], 130);
    EXPECT_EQ(waiting.upload.Connections(), 0);
}

TEST_F(ConsoleEngineTest, RequestsItCannotServeAreRefusedAndChangeNothing) {
    const Camera hanging("127.26.4.1", ServerReply::kSilent);
    const Camera other("127.26.4.2", ServerReply::kAck);
    const std::unique_ptr<ConsoleEngine> engine = Engine({hanging.upload.Address()});
    ASSERT_EQ(Body(Send(*engine, MakePackage()))["accepted"], true);
    const json listed = Body(engine->Cameras(true));
    ASSERT_EQ(listed["cameras"].size(), 1U);
    EXPECT_EQ(listed["cameras"][0]["source"], "given");
    EXPECT_EQ(listed["cameras"][0]["state"], "good");

    ApiAnswer answer = Start(*engine, {{"package", "p1"}, {"targets", {other.upload.Address()}}});
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(Body(answer)["message"], other.upload.Address() +
                                           " is not in the camera list: refresh it or add the "
                                           "camera");
    EXPECT_EQ(Start(*engine, {{"package", "p1"}, {"targets", json::array()}}).status, 400);
    EXPECT_EQ(Start(*engine, {{"package", "p9"}, {"targets", {hanging.upload.Address()}}}).status,
              409);
    answer = engine->AddCamera({{"target", "127.26.4.2"}});
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(Body(answer)["message"],
              "target: needs HOST:PORT with a port from 1 to 65535, not \"127.26.4.2\"");
    EXPECT_EQ(engine->Rollout("1").status, 404);
    EXPECT_EQ(Body(engine->Rollout("1"))["message"], "no rollout 1");
    EXPECT_EQ(other.upload.Connections(), 0);
    EXPECT_EQ(hanging.upload.Connections(), 0);

    // While a rollout runs: nothing that would hold its loop up.
    ASSERT_EQ(Start(*engine, {{"package", "p1"}, {"targets", {hanging.upload.Address()}}}).status,
              202);
    answer = Start(*engine, {{"package", "p1"}, {"targets", {hanging.upload.Address()}}});
    EXPECT_EQ(answer.status, 409);
    EXPECT_TRUE(Contains(Body(answer)["message"], "rollout 1 is running; one rollout at a time"));
    EXPECT_EQ(engine->Cameras(true).status, 409);
    EXPECT_EQ(engine->AddCamera({{"target", other.upload.Address()}}).status, 409);
    ApiAnswer refusal;
    EXPECT_EQ(engine->NewPackagePath(refusal), "");
    EXPECT_EQ(refusal.status, 409);
    WriteFile(work_.file("late.upg"), MakePackage());
    EXPECT_EQ(engine->TakePackage(work_.file("late.upg"), "late.upg").status, 409);
    EXPECT_FALSE(FileExists(work_.file("late.upg")));
    answer = engine->Report("1", "csv");
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(Body(answer)["message"], "the report is ready when rollout 1 ends");
    const json state = Body(engine->Rollout("1"));
    EXPECT_EQ(state["state"], "running");
    EXPECT_EQ(state["package"]["id"], "p1");
    ASSERT_EQ(engine->Abort("1").status, 202);
    (void)WaitFinished(*engine, "1");

    // Afterwards a camera no search finds can be added, once.
    answer = engine->AddCamera({{"target", other.upload.Address()}});
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(Body(answer)["source"], "added");
    EXPECT_EQ(Body(answer)["version"], "2.0");
    EXPECT_EQ(Body(engine->AddCamera({{"target", other.upload.Address()}}))["target"],
              other.upload.Address());
    EXPECT_EQ(Body(engine->Cameras(false))["cameras"].size(), 2U);
}

TEST_F(ConsoleEngineTest, EndingTheEngineAbortsItsRolloutAndRemovesThePackage) {
    const Camera hanging("127.26.5.1", ServerReply::kSilent);
    auto engine = Engine({hanging.upload.Address()});
    ASSERT_EQ(Body(Send(*engine, MakePackage()))["accepted"], true);
    ASSERT_EQ(Start(*engine, {{"package", "p1"}, {"targets", {hanging.upload.Address()}}}).status,
              202);
    ASSERT_TRUE(PollUntil(Millis(10000), [&] { return hanging.upload.Connections() == 1; }));
    engine.reset();  // returns only once the rollout ended
    EXPECT_TRUE(Files(work_.path()).empty());
}

}  // namespace
}  // namespace qdtest
