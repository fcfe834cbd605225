#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineLoading.h"
#include "src/Service.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

// Every integer key whose range the README states, loaded as the service loads a configuration
// (service keys, context, every loader) at one below its least value, at its least, at its
// greatest and one above: the ends load, the values beyond fail naming the key.
namespace {

using nlohmann::json;

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kDayMs = 86400000;

// A configuration that loads without touching a network or a video file: the poster never gets
// an event, the camera is a network source (opened only once producers start), and the builders
// read a small catalog.
json baseConfig(const std::string& catalog, const std::string& spool) {
    return {
        {"log", {{"file", false}}},
        {"webserver", {{"port", 0}}},
        {"eventposters",
         json::array({{{"name", "srv"}, {"url", "http://127.0.0.1:9/events"}, {"spoolPath", spool}}})},
        {"sources", json::array({{{"name", "cam"},
                                  {"id", 1},
                                  {"laneId", 1},
                                  {"type", "rtsp"},
                                  {"uri", "rtsp://127.0.0.1:9/live"},
                                  {"destinations", json::array()}}})},
        {"eventbuilders",
         json::array(
             {{{"name", "lp"},
               {"triggeredMode", 3},
               {"laneId", 1},
               {"destinations", {"srv"}},
               {"plateCatalogPath", catalog}},
              {{"name", "train"}, {"type", "TrainSequence"}, {"laneId", 2}, {"destinations", {"srv"}}}})}};
}

// "" when the configuration loads, else the reason. The document goes through its text, as a
// configuration file does: the parser holds every non-negative integer unsigned.
std::string loadingError(const json& document) {
    json config = json::parse(document.dump());
    try {
        (void)ek::readServiceSettings(config);
        ek::PipelineContext ctx(config);
        // Destroying the context then stops and joins the poster thread.
        ek::initializeAppControl(ctx);
        ek::loadPipeline(ctx, config);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// "/sources/0/timeoutMs" -> "sources[0].timeoutMs", the path a loading error starts with.
std::string keyPath(const std::string& pointer) {
    std::string path;
    size_t start = 1;
    while (start <= pointer.size()) {
        const size_t end = std::min(pointer.find('/', start), pointer.size());
        const std::string token = pointer.substr(start, end - start);
        const bool index = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
        path += index ? "[" + token + "]" : (path.empty() ? "" : ".") + token;
        start = end + 1;
    }
    return path;
}

// A value as the configuration file would hold it; one above INT64_MAX only fits unsigned.
json valueOf(int64_t base, int step) {
    if (step > 0 && base == kInt64Max) {
        return static_cast<uint64_t>(base) + 1;
    }
    return base + step;
}

TEST(ConfigBoundsTest, EveryRangeCheckedKeyTakesItsEndsAndRefusesOneBeyond) {
    auto capture = CapturingLog::install();
    TempDir dir;
    const std::string catalog = dir.file("plate_catalog.json");
    std::ofstream(catalog) << R"({"list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{3}"}]})";
    ASSERT_EQ(loadingError(baseConfig(catalog, dir.file("spool"))), "");

    struct Bound {
        std::string pointer;
        int64_t min;
        int64_t max;
    };
    const std::vector<Bound> bounds = {
        {"/log/port", 0, 65535},
        {"/log/level", 0, 3},
        {"/webserver/port", 0, 65535},
        {"/start_save_frame_ms", 0, kInt32Max},
        {"/period_save_frame_ms", 0, kInt32Max},
        {"/duration_save_frame_ms", 0, kInt32Max},
        {"/inferenceThreads", 0, 256},

        {"/sources/0/id", kInt32Min, kInt32Max},
        {"/sources/0/laneId", kInt32Min, kInt32Max},
        {"/sources/0/processingMode", kInt32Min, kInt32Max},
        {"/sources/0/cameraType", -1, 2},
        {"/sources/0/decodeThreads", 0, 64},
        {"/sources/0/timeoutMs", 1, kDayMs},
        {"/sources/0/direction", kInt32Min, kInt32Max},
        {"/sources/0/desyncThresholdMs", 0, kDayMs},
        {"/sources/0/jitterCorrectionThreshold", 0, kInt32Max},
        {"/sources/0/statisticsFlushTimeMs", 1, kDayMs},
        {"/sources/0/pre", 0, kInt32Max},
        {"/sources/0/post", 0, kInt32Max},
        {"/sources/0/recordTimeBeforeEvent", 0, kDayMs},
        {"/sources/0/recordTimeAfterEvent", 0, kDayMs},

        {"/eventposters/0/imageWidth", 1, 65535},
        {"/eventposters/0/lprJPEGQuality", 1, 100},
        {"/eventposters/0/ovJPEGQuality", 1, 100},
        {"/eventposters/0/plateJPEGQuality", 1, 100},
        {"/eventposters/0/connectTimeoutMs", 1, 3600000},
        {"/eventposters/0/timeoutMs", 1, 3600000},
        {"/eventposters/0/spoolMaxMB", 1, 1000000},

        {"/eventbuilders/0/laneId", kInt32Min, kInt32Max},
        {"/eventbuilders/0/minSubstringDist", 0, kInt64Max},
        {"/eventbuilders/0/minLprStringSize", 0, kInt64Max},
        {"/eventbuilders/0/reportInterval", 0, kInt32Max},
        {"/eventbuilders/0/minDetections", 0, kInt32Max},
        {"/eventbuilders/0/lpForgetInterval", 0, kInt32Max},
        {"/eventbuilders/0/minDirectionVector", kInt32Min, kInt32Max},
        {"/eventbuilders/0/maxNumberLpVariance", 1, kInt32Max},
        {"/eventbuilders/0/maxNumberStateVariance", 1, kInt32Max},
        {"/eventbuilders/0/vehicleClassId", kInt32Min, kInt32Max},
        {"/eventbuilders/0/personClassId", kInt32Min, kInt32Max},
        {"/eventbuilders/0/eventEmitWait", 0, kInt32Max},
        {"/eventbuilders/0/bufferSize", 1, 10000},

        {"/eventbuilders/1/eventEmitWait", kInt32Min, kInt32Max},
        {"/eventbuilders/1/lpForgetInterval", kInt32Min, kInt32Max},
        {"/eventbuilders/1/minDetections", 0, kInt32Max},
        {"/eventbuilders/1/minDoorOpenCount", 0, kInt32Max},
        {"/eventbuilders/1/maxDoorDistancePercent", kInt32Min, kInt32Max},
        {"/eventbuilders/1/stationaryPlateMinCount", kInt32Min, kInt32Max},
    };
    for (const auto& bound : bounds) {
        const std::string path = keyPath(bound.pointer);
        for (const auto& [value, loads] : {std::pair{valueOf(bound.min, -1), false},
                                           {valueOf(bound.min, 0), true},
                                           {valueOf(bound.max, 0), true},
                                           {valueOf(bound.max, 1), false}}) {
            SCOPED_TRACE(path + " = " + value.dump());
            json config = baseConfig(catalog, dir.file("spool"));
            config[json::json_pointer(bound.pointer)] = value;
            const std::string error = loadingError(config);
            if (loads) {
                EXPECT_EQ(error, "");
            } else {
                EXPECT_EQ(error.substr(0, path.size() + 2), path + ": ") << error;
            }
        }
    }
}

}  // namespace
