// The sink's own contract: what it accepts, what it refuses and how it answers.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_poster/Base64.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"
#include "tools/event_sink/EventStore.h"
#include "tools/event_sink/EventValidator.h"

using nlohmann::json;

namespace {

std::string encoded(const cv::Mat& picture, const std::string& ext) {
    std::vector<unsigned char> bytes;
    cv::imencode(ext, picture, bytes);
    return std::string(bytes.begin(), bytes.end());
}

std::string jpeg(int width, int height) {
    return encoded(cv::Mat(height, width, CV_8UC3, cv::Scalar(1, 2, 3)), ".jpg");
}

std::string b64(const std::string& bytes) {
    return Base64::encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A valid protocol 204 event written from the protocol document, not by the poster.
json validDoc() {
    json doc = json::parse(R"({
      "protocolVersion": 204, "guid": "g-1", "ts": 1, "laneId": 3, "laneName": "",
      "motion_direction": 0, "person_number": 0, "personDetections": [], "txId": 0, "postTrigger": false,
      "videos": [], "roi": [{"srcId": 1, "points": [0.5, 0.5]}],
      "evts": [{"num": "XY1", "confidence": 0.5, "guid": "r", "src": "c", "srcId": 1, "frameGuid": "f",
                "frameIndex": 0, "ts": 1, "yoloInfo": [], "state": "", "stateConfidence": 0, "rootLpr": "",
                "matchType": 0, "plateIndex": 0, "nontriggered": true, "vehicle_class": "",
                "vehicle_class_confidence": 0, "lprScore": 0}],
      "frames": [{"guid": "f", "srcId": 1, "src": "c", "ts": 1, "width": 64, "height": 32,
                  "image": {"format": "jpeg", "width": 64, "height": 32}}],
      "trigger": {"laneId": 3, "triggerId": 9, "triggerTimestamp": 1, "additional_data": []}
    })");
    doc["frames"][0]["image"]["data"] = b64(jpeg(64, 32));
    return doc;
}

struct Broken {
    const char* what;
    std::function<void(json&)> change;
    const char* message;  // part of the refusal's text
};

TEST(EventValidator, RefusesWhatBreaksTheProtocol) {
    const std::vector<Broken> cases = {
        {"no guid", [](json& d) { d.erase("guid"); }, "guid: missing"},
        {"empty guid", [](json& d) { d["guid"] = ""; }, "guid: must not be empty"},
        {"unknown version", [](json& d) { d["protocolVersion"] = 300; }, "protocolVersion: must be"},
        {"text lane", [](json& d) { d["laneId"] = "3"; }, "laneId: must be an integer"},
        {"2.3 without txId", [](json& d) { d.erase("txId"); }, "txId: missing"},
        {"frame index past the end", [](json& d) { d["evts"][0]["frameIndex"] = 1; }, "evts[0].frameIndex"},
        {"match type out of range", [](json& d) { d["evts"][0]["matchType"] = 9; }, "evts[0].matchType"},
        {"not base64", [](json& d) { d["frames"][0]["image"]["data"] = "@@@@"; }, "frames[0].image.data"},
        {"wrong size", [](json& d) { d["frames"][0]["image"]["width"] = 65; }, "declares 65x32"},
        {"png, not jpeg",
         [](json& d) { d["frames"][0]["image"]["data"] = b64(encoded(cv::Mat(32, 64, CV_8UC3), ".png")); },
         "not a readable JPEG"},
        {"part in a JSON request", [](json& d) { d["frames"][0]["image"]["part"] = "frame_0"; }, "multipart"},
        {"trigger without id", [](json& d) { d["trigger"].erase("triggerId"); },
         "trigger.triggerId: missing"},
        {"bad extra data",
         [](json& d) {
             d["trigger"]["additional_data"] = json::array({{{"name", "n"}}});
         },
         "trigger.additional_data[0].value: missing"},
        {"roi with text", [](json& d) { d["roi"][0]["points"] = {"a"}; }, "roi[0].points"},
    };
    EventValidator validator;
    EXPECT_EQ(validator.validate(validDoc(), nullptr).size(), 1u);
    for (const auto& c : cases) {
        json doc = validDoc();
        c.change(doc);
        try {
            validator.validate(doc, nullptr);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ValidationError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST(EventValidator, OlderVersionsNeedOnlyTheirKeys) {
    json doc = {{"protocolVersion", 103},  {"guid", "g"},          {"ts", 1}, {"laneId", 1}, {"laneName", ""},
                {"frames", json::array()}, {"evts", json::array()}};
    EventValidator validator;
    EXPECT_NO_THROW(validator.validate(doc, nullptr));
    doc["protocolVersion"] = 105;
    EXPECT_THROW(validator.validate(doc, nullptr), ValidationError);  // 1.5 needs motion_direction
}

TEST(EventValidator, MultipartPartsMustMatchTheirReferences) {
    json doc = validDoc();
    doc["frames"][0]["image"].erase("data");
    doc["frames"][0]["image"]["part"] = "frame_0";
    std::map<std::string, std::string> parts = {{"frame_0", jpeg(64, 32)}};
    EventValidator validator;
    auto images = validator.validate(doc, &parts);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].name, "frame_0");
    EXPECT_EQ(images[0].path, "frames[0].image");

    std::map<std::string, std::string> extra = {{"frame_0", jpeg(64, 32)}, {"plate_0", jpeg(4, 4)}};
    EXPECT_THROW(validator.validate(doc, &extra), ValidationError);
    std::map<std::string, std::string> none;
    EXPECT_THROW(validator.validate(doc, &none), ValidationError);
}

TEST(EventStore, SummaryAndSafeNames) {
    json doc = validDoc();
    doc["evts"].push_back(doc["evts"][0]);
    doc["evts"][1]["num"] = "XY2";
    doc["evts"][1]["confidence"] = 0.875;
    EXPECT_EQ(EventStore::summary(doc, 3), "event lane=3 plates=XY1,XY2 confidence=0.88 images=3 guid=g-1");
    doc["evts"] = json::array();
    EXPECT_EQ(EventStore::summary(doc, 0), "event lane=3 plates=- confidence=0.00 images=0 guid=g-1");
    EXPECT_EQ(EventStore::safeName("../a b/c"), "___a_b_c");

    // Clips named by the event follow, behind the sender's clip folder; ids are made safe to print.
    doc["videos"] = json::array({{{"srcId", 1}, {"id", "c-1"}},
                                 {{"srcId", 2},
                                  {"id",
                                   "c\x1b"
                                   "2"}}});
    EXPECT_EQ(
        EventStore::summary(doc, 1, "out/clips/"),
        "event lane=3 plates=- confidence=0.00 images=1 guid=g-1 clips=out/clips/c-1.mp4,out/clips/c_2.mp4");
}

class SinkServer : public ::testing::Test {
  protected:
    std::unique_ptr<EventSink> start(bool fail, size_t failFirst = 0, bool hold = false) {
        EventSink::Options options;
        options.port = 0;
        options.folder = dir.path() / "events";
        options.fail = fail;
        options.failFirst = failFirst;
        options.hold = hold;
        options.summaryOut = nullptr;
        auto sink = std::make_unique<EventSink>(options);
        sink->start();
        return sink;
    }
    TempDir dir;
};

TEST_F(SinkServer, AnswersAsDocumented) {
    auto sink = start(false);
    httplib::Client client("127.0.0.1", sink->port());
    auto ok = client.Post("/any/path", validDoc().dump(), "application/json");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(json::parse(ok->body), json({{"result", "stored"}, {"guid", "g-1"}}));

    auto bad = client.Post("/", "{\"protocolVersion\": 204}", "application/json");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(json::parse(bad->body)["error"], "guid: missing");

    auto notJson = client.Post("/", "{", "application/json");
    ASSERT_TRUE(notJson);
    EXPECT_EQ(notJson->status, 400);

    auto text = client.Post("/", "hello", "text/plain");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->status, 415);

    EXPECT_EQ(sink->stored(), 1u);
    EXPECT_EQ(sink->refused(), 3u);
    EXPECT_TRUE(std::filesystem::exists(sink->folder() / "g-1" / "frame_0.jpg"));
}

TEST_F(SinkServer, FailureModeAnswers500AndStoresNothing) {
    auto sink = start(true);
    httplib::Client client("127.0.0.1", sink->port());
    auto res = client.Post("/", validDoc().dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_FALSE(std::filesystem::exists(sink->folder() / "events.jsonl"));
}

TEST_F(SinkServer, FailFirstAnswers500ThatManyTimesThenStores) {
    auto sink = start(false, 2);
    httplib::Client client("127.0.0.1", sink->port());
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i) {
        auto res = client.Post("/", validDoc().dump(), "application/json");
        ASSERT_TRUE(res);
        statuses.push_back(res->status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{500, 500, 200}));
    EXPECT_EQ(sink->stored(), 1u);
    EXPECT_EQ(sink->refused(), 2u);
}

TEST_F(SinkServer, HoldNeverAnswersUntilTheSinkStops) {
    auto sink = start(false, 0, true);
    httplib::Client client("127.0.0.1", sink->port());
    client.set_read_timeout(std::chrono::seconds(120));
    std::thread poster([&] { client.Post("/", validDoc().dump(), "application/json"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sink->received() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(sink->received(), 1u);
    sink->stop();  // releases the held request, so the client's call returns
    poster.join();
    EXPECT_EQ(sink->stored(), 0u);
}

}  // namespace
