#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platereader/PlateReaderFactory.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "tests/demo/DemoFiles.h"
#include "tests/demo/PlateMatch.h"
#include "tests/support/TempDir.h"

// The committed demo models, run through our own detector and plate-reader libraries with the
// settings of demo/config.json, on frames and crops that demo/synth.py rendered at build time from
// seeds that training never used. Thresholds on accuracy only: retraining gives other weights.
namespace {

using nlohmann::json;

constexpr double kMinPrecision = 0.9;
constexpr double kMinRecall = 0.95;
constexpr double kMinExactReads = 0.95;
constexpr double kMinAcceptedOfExact = 0.95;
// Plates narrower than this, or partly hidden, count neither as found nor as missed.
constexpr int kMinPlateWidth = 50;

const std::string kCheckDir = QO_DEMO_CHECK_DIR;

// The demo's network of the given type, its model directory made absolute (the demo runs from the
// repository root).
json demoNetwork(const std::string& type) {
    const json config = demo_files::demoConfig();
    for (json network : config.at("networks")) {
        if (network.at("type") == type) {
            json& definition = network.at("model").at("definition");
            definition["path"] = demo_files::sourcePath(definition.at("path").get<std::string>());
            return network;
        }
    }
    throw std::runtime_error("demo/config.json has no network of type " + type);
}

struct DetectionCounts {
    int truePositives = 0;
    int falsePositives = 0;
    int relevant = 0;

    double precision() const { return truePositives / std::max(1.0, double(truePositives + falsePositives)); }
    double recall() const { return truePositives / std::max(1.0, double(relevant)); }
};

bool relevant(const json& plate) {
    return plate.at("full").get<bool>() && plate.at("w").get<int>() >= kMinPlateWidth;
}

// A detection of a small or partly hidden plate is neither right nor wrong; one that matches no plate
// is a false alarm.
void count(const std::vector<YoloObjectInfo>& objects, const std::vector<json>& plates,
           DetectionCounts& counts) {
    for (const auto& m : plate_match::match(objects, plates)) {
        if (!m.plate) {
            ++counts.falsePositives;
        } else if (relevant(plates[*m.plate])) {
            ++counts.truePositives;
        }
    }
    counts.relevant += static_cast<int>(std::count_if(plates.begin(), plates.end(), relevant));
}

TEST(DemoModelsTest, DetectorFindsThePlatesOfFreshFrames) {
    json network = demoNetwork("yolo");
    auto detector = MultisizeYoloDetector::load(network.at("model"));
    detector.thresh = network.at("treshold").get<float>();

    std::map<std::string, std::vector<json>> platesByFrame;
    for (const json& plate : demo_files::readJsonLines(kCheckDir + "/frames/truth.jsonl")) {
        platesByFrame[plate.at("file").get<std::string>()].push_back(plate);
    }
    DetectionCounts counts;
    int frames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kCheckDir + "/frames")) {
        if (entry.path().extension() != ".png") {
            continue;
        }
        cv::Mat frame = cv::imread(entry.path().string(), cv::IMREAD_COLOR);
        ASSERT_FALSE(frame.empty()) << entry.path();
        count(detector.infer(detector.prepare(frame), frame.size()), platesByFrame[entry.path().filename()],
              counts);
        ++frames;
    }
    ASSERT_EQ(frames, 300);
    ASSERT_GT(counts.relevant, 200);
    std::printf("detector: %d frames, %d plates >= %d px, precision %.3f, recall %.3f\n", frames,
                counts.relevant, kMinPlateWidth, counts.precision(), counts.recall());
    EXPECT_GE(counts.precision(), kMinPrecision);
    EXPECT_GE(counts.recall(), kMinRecall);
}

// Read with the demo's decoding; an exact reading must also clear the demo's acceptance
// threshold, or the running demo would show nothing of what it reads.
TEST(DemoModelsTest, RecogniserReadsFreshCleanCrops) {
    // The reader keeps its engine cache under ./cache.
    TempDir scratch;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(scratch.path());
    const json network = demoNetwork("PlateReaderV3Colored");
    auto reader = createPlateReader(network, false, 1);
    std::filesystem::current_path(previous);
    const float acceptance = network.value("treshold", 0.f);

    int crops = 0;
    int exact = 0;
    int exactAccepted = 0;
    for (const json& line : demo_files::readJsonLines(kCheckDir + "/crops/crops.jsonl")) {
        std::vector<LPRDetection> dets(1);
        dets[0].plate =
            cv::imread(kCheckDir + "/crops/" + line.at("file").get<std::string>(), cv::IMREAD_COLOR);
        ASSERT_FALSE(dets[0].plate.empty()) << line.dump();
        reader->prepare(dets);
        reader->read(dets, nullptr);
        ++crops;
        if (dets[0].value == line.at("text").get<std::string>()) {
            ++exact;
            exactAccepted += dets[0].confidence >= acceptance ? 1 : 0;
        }
    }
    ASSERT_EQ(crops, 1000);
    const double exactRate = double(exact) / crops;
    const double acceptedRate = double(exactAccepted) / std::max(1, exact);
    std::printf("recogniser: %d clean crops, %.3f read exactly, %.3f of those with confidence >= %.2f\n",
                crops, exactRate, acceptedRate, static_cast<double>(acceptance));
    EXPECT_GE(exactRate, kMinExactReads);
    EXPECT_GE(acceptedRate, kMinAcceptedOfExact);
}

}  // namespace
