// The poster against the real event sink: what is posted is what the sink stores.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/event_poster/QEVAEventPoster.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"
#include "tests/tools/event_sink/SampleEvent.h"
#include "tools/event_sink/EventSink.h"

using nlohmann::json;

namespace {

class PosterToSink : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { QEVAEventPoster::globalInit(); }

    void SetUp() override {
        EventSink::Options options;
        options.port = 0;
        options.folder = dir.path() / "events";
        options.summaryOut = nullptr;
        sink = std::make_unique<EventSink>(options);
        sink->start();
    }

    // Each poster gets a spool directory of its own.
    json poster(json extra = json::object()) {
        json p = {{"name", "sink"},
                  {"url", sink->url()},
                  {"spoolPath", (dir.path() / ("spool" + std::to_string(spools++))).string()}};
        p.update(extra);
        return p;
    }

    // Delivery is asynchronous: the stored lines once the sink holds `count` events.
    std::vector<json> stored(size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (sink->stored() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return storedLines();
    }

    // Events of different posters, each delivered on its poster's own thread, arrive in either
    // order: the stored lines of `guids`, in that order, once all have arrived.
    std::vector<json> storedByGuid(const std::vector<std::string>& guids) const {
        const auto lines = stored(guids.size());
        std::vector<json> ordered;
        for (const auto& guid : guids) {
            for (const auto& line : lines) {
                if (line.value("guid", "") == guid) {
                    ordered.push_back(line);
                }
            }
        }
        return ordered;
    }

    std::vector<json> storedLines() const {
        std::ifstream in(sink->folder() / "events.jsonl");
        std::vector<json> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(json::parse(line));
        }
        return lines;
    }

    cv::Mat storedImage(const json& image) const {
        return cv::imread((sink->folder() / image.at("file").get<std::string>()).string(), cv::IMREAD_COLOR);
    }

    TempDir dir;
    std::unique_ptr<EventSink> sink;
    int spools = 0;
};

TEST_F(PosterToSink, FullEventInlineIsStoredWithItsPictures) {
    QEVAEventPoster p(poster());
    p.post(sampleEvent());

    auto lines = stored(1);
    ASSERT_EQ(sink->stored(), 1u);
    ASSERT_EQ(lines.size(), 1u);
    const json& e = lines[0];
    EXPECT_EQ(e["protocolVersion"], 204);
    EXPECT_EQ(e["guid"], "5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21");
    EXPECT_EQ(e["laneId"], 7);
    EXPECT_EQ(e["laneName"], "north");
    EXPECT_EQ(e["_sink"]["multipart"], false);
    ASSERT_EQ(e["evts"].size(), 2u);
    EXPECT_EQ(e["evts"][0]["num"], "AB123CD");
    EXPECT_EQ(e["evts"][0]["confidence"], 0.93);  // sent as the float's shortest decimal
    EXPECT_EQ(e["evts"][0]["frameIndex"], 0);
    EXPECT_EQ(e["evts"][1]["frameIndex"], 1);
    EXPECT_EQ(e["evts"][0]["state"], "DE");
    EXPECT_EQ(e["evts"][0]["matchType"], 2);
    EXPECT_EQ(e["evts"][0]["yoloInfo"][0]["width"], 120);
    EXPECT_EQ(e["personDetections"][0], json({{"x", 10}, {"y", 20}, {"width", 30}, {"height", 60}}));
    EXPECT_EQ(e["videos"][0], json({{"srcId", 1}, {"id", "clip-1"}}));
    EXPECT_EQ(e["trigger"]["triggerId"], 42);
    EXPECT_EQ(e["trigger"]["eventId"], 5);
    EXPECT_EQ(e["trigger"]["additional_data"][0], json({{"name", "gate"}, {"value", "3"}}));

    ASSERT_EQ(e["frames"].size(), 2u);
    cv::Mat frame = storedImage(e["frames"][0]["image"]);
    ASSERT_EQ(frame.size(), cv::Size(640, 360));
    cv::Vec3b pixel = frame.at<cv::Vec3b>(180, 320);  // blue frame, JPEG keeps it roughly
    EXPECT_NEAR(pixel[0], 200, 8);
    EXPECT_NEAR(pixel[1], 0, 8);
    cv::Mat crop = storedImage(e["evts"][1]["plate"]);
    EXPECT_EQ(crop.size(), cv::Size(120, 30));
}

TEST_F(PosterToSink, SeparatedImagesTravelAsMultipartParts) {
    QEVAEventPoster p(poster({{"separatedImages", true}}));
    p.post(sampleEvent());

    auto lines = stored(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["_sink"]["multipart"], true);
    EXPECT_EQ(lines[0]["frames"][1]["image"]["file"], "5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21/frame_1.jpg");
    EXPECT_EQ(storedImage(lines[0]["frames"][1]["image"]).size(), cv::Size(640, 360));
    EXPECT_EQ(storedImage(lines[0]["evts"][0]["plate"]).size(), cv::Size(120, 30));
}

struct VersionCase {
    int version;
    bool state;    // 1.4
    bool motion;   // 1.5
    bool trigger;  // 2.3
    bool extra;    // 2.4
};

class PosterVersions : public PosterToSink, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PosterVersions, EachVersionSendsItsKeysAndTheSinkAcceptsThem) {
    const VersionCase c = GetParam();
    QEVAEventPoster p(poster({{"protocolVersion", c.version}}));
    p.post(sampleEvent());

    auto lines = stored(1);
    ASSERT_EQ(lines.size(), 1u);
    const json& e = lines[0];
    EXPECT_EQ(e["protocolVersion"], c.version);
    EXPECT_EQ(e["evts"][0].contains("state"), c.state);
    EXPECT_EQ(e["evts"][0].contains("plateIndex"), c.trigger);
    EXPECT_EQ(e.contains("motion_direction"), c.motion);
    EXPECT_EQ(e.contains("trigger"), c.trigger);
    EXPECT_EQ(e.contains("roi"), c.trigger);
    if (c.trigger) {
        EXPECT_EQ(e["trigger"].contains("additional_data"), c.extra);
        EXPECT_EQ(e["trigger"].contains("eventId"), c.extra);
        EXPECT_EQ(e["trigger"]["triggerGuid"], "trigger-guid");
    }
}

INSTANTIATE_TEST_SUITE_P(All, PosterVersions,
                         ::testing::Values(VersionCase{103, false, false, false, false},
                                           VersionCase{104, true, false, false, false},
                                           VersionCase{105, true, true, false, false},
                                           VersionCase{203, true, true, true, false},
                                           VersionCase{204, true, true, true, true}));

TEST_F(PosterToSink, ResizingFollowsWidthAndConfidence) {
    // Best reading 0.93: reduced below a threshold of 0.9, kept whole above 0.95.
    QEVAEventPoster sure(poster({{"resizeEnabled", true}, {"imageWidth", 320}, {"resizeConfidence", 0.9}}));
    sure.post(sampleEvent());
    QEVAEventPoster unsure(
        poster({{"resizeEnabled", true}, {"imageWidth", 320}, {"resizeConfidence", 0.95}}));
    QEVAEvent second = sampleEvent();
    second.guid = "second";  // pictures are stored by event guid
    unsure.post(second);

    const auto lines = storedByGuid({sampleEvent().guid, "second"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["frames"][0]["image"]["width"], 320);
    EXPECT_EQ(lines[0]["frames"][0]["image"]["height"], 180);
    EXPECT_EQ(lines[0]["frames"][0]["width"], 640);  // boxes stay in full-size coordinates
    EXPECT_EQ(storedImage(lines[0]["frames"][0]["image"]).size(), cv::Size(320, 180));
    EXPECT_EQ(storedImage(lines[0]["evts"][0]["plate"]).size(), cv::Size(120, 30));  // crops never reduced
    EXPECT_EQ(lines[1]["frames"][0]["image"]["width"], 640);
    EXPECT_EQ(storedImage(lines[1]["frames"][0]["image"]).size(), cv::Size(640, 360));
}

TEST_F(PosterToSink, ImageAndDataSwitchesLeaveTheirKeysOut) {
    QEVAEventPoster none(poster({{"postImages", false}, {"sendData", false}}));
    none.post(sampleEvent());
    QEVAEventPoster platesOnly(poster({{"frameFormat", "none"}}));
    QEVAEvent second = sampleEvent();
    second.guid = "second";
    platesOnly.post(second);

    const auto lines = storedByGuid({sampleEvent().guid, "second"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0]["frames"][0].contains("image"));
    EXPECT_FALSE(lines[0]["evts"][0].contains("plate"));
    EXPECT_FALSE(lines[0]["evts"][0].contains("yoloInfo"));
    EXPECT_FALSE(lines[0].contains("roi"));
    EXPECT_FALSE(lines[0].contains("personDetections"));
    EXPECT_FALSE(lines[1]["frames"][0].contains("image"));
    EXPECT_TRUE(lines[1]["evts"][0].contains("plate"));
}

TEST_F(PosterToSink, ReadingWhoseFrameIsNotListedBringsItsFrame) {
    QEVAEvent event = sampleEvent();
    event.frames = {event.frames[1]};  // frame-1 is not listed any more
    QEVAEventPoster p(poster());
    p.post(event);

    auto lines = stored(1);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0]["frames"].size(), 2u);
    EXPECT_EQ(lines[0]["evts"][0]["frameIndex"], 1);
    EXPECT_EQ(lines[0]["frames"][1]["guid"], "frame-1");
    EXPECT_EQ(lines[0]["evts"][1]["frameIndex"], 0);
}

TEST_F(PosterToSink, EmptyEventAndBrokenUtf8AreStillDelivered) {
    QEVAEvent empty;
    empty.guid = "empty";
    QEVAEvent odd = sampleEvent();
    odd.guid = "odd";
    odd.evts[0]->num = "AB\xff";
    QEVAEventPoster p(poster());
    p.post(empty);
    p.post(odd);

    auto lines = stored(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0]["evts"].empty());
    EXPECT_EQ(lines[1]["evts"][0]["num"], "AB\xef\xbf\xbd");
}

TEST_F(PosterToSink, AFailingServerIsRetriedAndTheEventArrivesOnceItAnswers) {
    auto capture = CapturingLog::install();
    EventSink::Options options;
    options.port = 0;
    options.folder = dir.path() / "failing";
    options.fail = true;
    options.summaryOut = nullptr;
    auto failing = std::make_unique<EventSink>(options);
    failing->start();
    const std::string url = failing->url();
    const json first = poster({{"url", url}});
    QEVAEventPoster p(first, {1, 1});
    p.post(sampleEvent());
    ASSERT_TRUE(capture.log->waitFor("HTTP 500", std::chrono::seconds(60), ILog::LevelWarning));
    failing.reset();  // now the port is closed
    ASSERT_TRUE(
        capture.log->waitFor(": POST " + url + " failed: ", std::chrono::seconds(60), ILog::LevelWarning));
    EXPECT_TRUE(capture.log->contains("onnect"));  // "Failed to connect ..."
    EXPECT_TRUE(capture.log->contains("not delivered (try 1): HTTP 500"));
    p.stop();
    EXPECT_EQ(p.statistics()["spoolEvents"], 1);

    // The next poster over the same spool, with the server back, delivers what was left.
    json again = poster({{"url", sink->url()}});
    again["spoolPath"] = first["spoolPath"];
    QEVAEventPoster next(again, {1, 1});
    auto lines = stored(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["guid"], "5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21");
    ASSERT_TRUE(capture.log->waitFor("delivered event 5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21 after 1 tries"));
}

struct BadKey {
    json entry;
    std::string key;
};

// The library names the key within the entry; the loader places it under "eventposters[i]".
TEST(PosterKeys, WrongKeysFailNamingTheKey) {
    const std::vector<BadKey> cases = {
        {{{"name", "a"}}, "url"},
        {{{"name", "a"}, {"url", ""}}, "url"},
        {{{"name", "a"}, {"url", 5}}, "url"},
        {{{"name", "a"}, {"url", "http://x"}, {"protocolVersion", 200}}, "protocolVersion"},
        {{{"name", "a"}, {"url", "http://x"}, {"postImages", "yes"}}, "postImages"},
        {{{"name", "a"}, {"url", "http://x"}, {"imageWidth", 0}}, "imageWidth"},
        {{{"name", "a"}, {"url", "http://x"}, {"imageWidth", "wide"}}, "imageWidth"},
        {{{"name", "a"}, {"url", "http://x"}, {"lprJPEGQuality", 101}}, "lprJPEGQuality"},
        {{{"name", "a"}, {"url", "http://x"}, {"frameFormat", "png"}}, "frameFormat"},
        {{{"name", "a"}, {"url", "http://x"}, {"resizeConfidence", true}}, "resizeConfidence"},
        {{{"name", "a"}, {"url", "http://x"}, {"timeoutMs", 0}}, "timeoutMs"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolPath", ""}}, "spoolPath"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolPath", 5}}, "spoolPath"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolMaxMB", 0}}, "spoolMaxMB"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolMaxMB", 1000001}}, "spoolMaxMB"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolMaxMB", "big"}}, "spoolMaxMB"},
        {{{"name", "a"}, {"url", "http://x"}, {"spoolPath", "/proc/self/status/spool"}}, "spoolPath"},
    };
    for (const auto& c : cases) {
        try {
            QEVAEventPoster p(c.entry);
            ADD_FAILURE() << "accepted " << c.entry.dump();
        } catch (const std::runtime_error& e) {
            std::string text = e.what();
            EXPECT_EQ(text.rfind(c.key + ": ", 0), 0u) << text;
        }
    }
}

TEST(PosterKeys, DefaultsAndReadValues) {
    TempDir dir;
    QEVAEventPoster defaults(
        {{"name", "d"}, {"url", "http://127.0.0.1:1/"}, {"spoolPath", dir.path() / "d"}});
    EXPECT_EQ(defaults.name, "d");
    EXPECT_EQ(defaults.protocolVersion, ek::Protocols::Latest);
    EXPECT_TRUE(defaults.postImages);
    EXPECT_FALSE(defaults.separatedImages);
    EXPECT_TRUE(defaults.sendData);
    EXPECT_TRUE(defaults.postTriggers);
    EXPECT_FALSE(defaults.resizeEnabled);
    EXPECT_EQ(defaults.imgWidth, 1280);
    EXPECT_EQ(defaults.lprJPEGQuality, 90);
    EXPECT_EQ(defaults.ovJPEGQuality, 75);
    EXPECT_EQ(defaults.plateJPEGQuality, 95);
    EXPECT_EQ(defaults.spoolMaxMB, 1024);

    QEVAEventPoster set({{"name", "s"},
                         {"url", "http://127.0.0.1:1/"},
                         {"protocolVersion", 105},
                         {"imageWidth", 800},
                         {"plateFormat", "none"},
                         {"ovJPEGQuality", 40},
                         {"spoolPath", dir.path() / "s"},
                         {"spoolMaxMB", 7}});
    EXPECT_EQ(set.protocolVersion, ek::Protocols::Version1_5);
    EXPECT_EQ(set.imgWidth, 800);
    EXPECT_EQ(set.plateFormat, "none");
    EXPECT_EQ(set.ovJPEGQuality, 40);
    EXPECT_EQ(set.spoolMaxMB, 7);
}

}  // namespace
