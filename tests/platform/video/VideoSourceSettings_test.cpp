#include <gtest/gtest.h>

#include <stdexcept>

#include "qo_common/utils/ConfigReader.h"
#include "qo_common/video/IVideoSource.h"
#include "qo_common/video/VideoSourceSettings.h"

using nlohmann::json;

TEST(VideoSourceSettings, EmptyObjectKeepsTheDefaults) {
    ek::VideoSourceSettings s;
    s.configure(json::object());
    EXPECT_EQ(s.name, "");
    EXPECT_EQ(s.id, 0);
    EXPECT_EQ(s.restart, 0);
    EXPECT_EQ(s.cpuDecode, 1);
    EXPECT_EQ(s.processingMode, ek::VideoProcessingMode::NonTriggered);
    EXPECT_EQ(s.cameraType, CameraType::UNDEFINED);
    EXPECT_EQ(s.plateWidth, (std::pair<int32_t, int32_t>{0, 0}));
    EXPECT_EQ(s.statisticsFlushTimeMs, 10000);
    EXPECT_EQ(s.jitterCorrectionThreshold, 4);
    EXPECT_EQ(s.desyncThresholdMs, 500);
    EXPECT_FALSE(s.recordEnable);
    EXPECT_TRUE(s.pacing);
    EXPECT_EQ(s.timeoutMs, 5000);
    EXPECT_EQ(s.decodeThreads, 0);
}

TEST(VideoSourceSettings, ReadsEveryKey) {
    ek::VideoSourceSettings s;
    s.configure(json::parse(R"({
        "name": "cam", "uri": "rtsp://h/x", "type": "rtsp", "destinations": ["yolo"], "id": 3,
        "restart": 1, "tcp": true, "cpuDecode": 0, "processingMode": 3, "laneId": 9, "cameraType": "OV",
        "pre": 5, "post": 6, "roi": [0, 0, 1000, 0, 1000, 1000], "plateWidth": [40, 300],
        "statisticsFlushTimeMs": 2000, "jitterCorrectionThreshold": 2, "desyncThresholdMs": 100,
        "direction": 90, "recordEnable": true, "recordTimeBeforeEvent": 3000, "recordTimeAfterEvent": 4000,
        "pathToSaveVideo": "/tmp/v/", "pacing": false, "timeoutMs": 1500, "decodeThreads": 2})"));
    EXPECT_EQ(s.name, "cam");
    EXPECT_EQ(s.uri, "rtsp://h/x");
    EXPECT_EQ(s.type, "rtsp");
    EXPECT_EQ(s.dests, std::vector<std::string>{"yolo"});
    EXPECT_EQ(s.id, 3);
    EXPECT_EQ(s.restart, 1);
    EXPECT_EQ(s.tcp, 1);
    EXPECT_EQ(s.cpuDecode, 0);
    EXPECT_EQ(s.processingMode, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    EXPECT_EQ(s.laneId, 9);
    EXPECT_EQ(s.cameraType, CameraType::OV);
    EXPECT_EQ(s.pre, 5);
    EXPECT_EQ(s.post, 6);
    EXPECT_EQ(s.roi.size(), 6u);
    EXPECT_EQ(s.plateWidth, (std::pair<int32_t, int32_t>{40, 300}));
    EXPECT_EQ(s.statisticsFlushTimeMs, 2000);
    EXPECT_EQ(s.jitterCorrectionThreshold, 2);
    EXPECT_EQ(s.desyncThresholdMs, 100);
    EXPECT_EQ(s.direction, 90);
    EXPECT_TRUE(s.recordEnable);
    EXPECT_EQ(s.recordTimeBeforeEvent, 3000);
    EXPECT_EQ(s.recordTimeAfterEvent, 4000);
    EXPECT_EQ(s.pathToSaveVideo, "/tmp/v/");
    EXPECT_FALSE(s.pacing);
    EXPECT_EQ(s.timeoutMs, 1500);
    EXPECT_EQ(s.decodeThreads, 2);
}

TEST(VideoSourceSettings, AnyIntegerProcessingModeLoads) {
    for (int mode : {4, -1, 100}) {
        ek::VideoSourceSettings s;
        s.configure(json{{"processingMode", mode}});
        EXPECT_EQ(static_cast<int>(s.processingMode), mode);
    }
}

TEST(VideoSourceSettings, CameraTypeByNumberOrName) {
    struct Case {
        json value;
        CameraType expected;
    };
    for (const auto& c :
         std::vector<Case>{{0, CameraType::LPR}, {"FACE", CameraType::FACE}, {-1, CameraType::UNDEFINED}}) {
        ek::VideoSourceSettings s;
        s.configure(json{{"cameraType", c.value}});
        EXPECT_EQ(s.cameraType, c.expected) << c.value.dump();
    }
}

TEST(VideoSourceSettings, BadValuesFailTheLoadingWithTheKeyNamed) {
    const std::vector<std::pair<json, std::string>> cases = {
        {json{{"id", "seven"}},
         R"(id: expected an integer from -2147483648 to 2147483647, got string "seven")"},
        {json{{"id", 4294967299}},
         "id: expected an integer from -2147483648 to 2147483647, got number 4294967299"},
        {json{{"laneId", 1.5}}, "laneId: expected an integer from -2147483648 to 2147483647, got number 1.5"},
        {json{{"roi", "all"}}, R"(roi: expected an array of numbers, got string "all")"},
        {json{{"roi", {1, "x"}}}, R"(roi[1]: expected a number, got string "x")"},
        {json{{"plateWidth", {10}}}, "plateWidth: expected [minimum, maximum], got array [10]"},
        {json{{"plateWidth", {10, 1e300}}},
         "plateWidth.maximum: expected an integer from 0 to 2147483647, got number 1e+300"},
        {json{{"cameraType", "TRUCK"}},
         R"(cameraType: expected one of "LPR", "OV", "FACE", "UNDEFINED", got string "TRUCK")"},
        {json{{"cameraType", 5}}, "cameraType: expected an integer from -1 to 2, got number 5"},
        {json{{"recordTimeBeforeEvent", -1}},
         "recordTimeBeforeEvent: expected an integer from 0 to 86400000, got number -1"},
        {json{{"timeoutMs", 0}}, "timeoutMs: expected an integer from 1 to 86400000, got number 0"},
        {json{{"pre", -2}}, "pre: expected an integer from 0 to 2147483647, got number -2"},
        {json{{"restart", "yes"}}, R"(restart: expected true, false or an integer, got string "yes")"},
        {json{{"pacing", 0.5}}, "pacing: expected true, false or an integer, got number 0.5"},
        {json{{"destinations", {"a", 5}}}, "destinations[1]: expected a string, got number 5"},
        {json::array(), ": expected an object, got array []"},
    };
    for (const auto& [config, error] : cases) {
        ek::VideoSourceSettings s;
        try {
            s.configure(config);
            ADD_FAILURE() << "accepted " << config.dump();
        } catch (const ek::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), error.front() == ':' ? error.substr(2) : error);
        }
    }
}

TEST(VideoSourceFactory, PicksTheImplementationByType) {
    struct Case {
        std::string type;
        std::string uri;
        bool made;
        bool file;
    };
    const std::vector<Case> cases = {
        {"file", "/data/a.mp4", true, true},
        {"FILE", "/data/a.mp4", true, true},
        {"rtsp", "rtsp://cam/stream", true, false},
        {"http", "http://cam/x.m3u8", true, false},
        {"hls", "http://cam/x.m3u8", true, false},
        {"network", "tcp://127.0.0.1:9", true, false},
        {"stream", "udp://239.0.0.1:1234", true, false},
        {"", "rtsp://cam/stream", true, false},
        {"auto", "/data/a.mp4", true, true},
        {"", "file:///data/a.mp4", true, true},
        {"gstreamer", "/data/a.mp4", false, false},
        {"usb", "/dev/video0", false, false},
    };
    for (const auto& c : cases) {
        ek::VideoSourceSettings s;
        s.type = c.type;
        s.uri = c.uri;
        auto source = ek::createVideoSource(s);
        ASSERT_EQ(source != nullptr, c.made) << c.type;
        if (source) {
            EXPECT_EQ(source->isFile(), c.file) << c.type << " " << c.uri;
            EXPECT_EQ(source->settings.uri, c.uri);
        }
    }
}
