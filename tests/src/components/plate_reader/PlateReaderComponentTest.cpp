#include "src/components/PlateReaderComponent.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/models/PlateDrawing.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const char* kSyntaxes = R"({"syntaxes": [
  {"definition": "[A-Z]{2}[0-9]{2}[A-Z][0-9][A-Z]", "state": "T1", "region": "eu"},
  {"definition": "[0-9]{4}", "state": "T2", "region": "eu"}]})";

const char* kWatchlist = R"({"records": [
  {"plate": "XYZ987", "state": "W1"},
  {"plate": "MM11", "state": "W2"}, {"plate": "MM11", "state": "W3"},
  {"plate": "PQ8"},
  {"plate": "VSV2"}, {"plate": "V5VZ"},
  {"plate": "GH4477"},
  {"plate": "JJ12"}, {"plate": "JJ13"}]})";

const std::string kKey = std::string(QO_PLATE_MODELS_DIR) + "/plate_reader.onnx";

json networkObject(const json& extra = json::object()) {
    json object = {
        {"name", "gru1"},
        {"type", "PlateReaderV3Colored"},
        {"destinations", json::array()},
        {"treshold", 0.5},
        {"model",
         {{"region", "eu"},
          {"definition",
           {{"path", QO_PLATE_MODELS_DIR},
            {"content",
             {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}},
              {"image-input-requirements", {{"width_ext", 0}, {"height_ext", 0}}}}}}}}}};
    if (!extra.is_null()) {
        object.merge_patch(extra);
    }
    return object;
}

json stateRecognizerObject(const std::string& type = "StateRecognizer") {
    return {{"type", type},
            {"name", "state_recognizer"},
            {"threshold", 0},
            {"model",
             {{"definition",
               {{"path", QO_TEST_MODEL_DIR},
                {"content",
                 {{"files",
                   {{"config", "channels_32.cfg"},
                    {"weights", "channels_32.weights"},
                    {"class-names", "channels.names"}}}}}}}}}};
}

// A grey road frame with plates pasted in; each plate gets a YOLO box that covers it exactly.
struct Scene {
    std::shared_ptr<FrameWithInfo> frame = std::make_shared<FrameWithInfo>();

    Scene() {
        frame->frame->image = cv::Mat(240, 640, CV_8UC3, cv::Scalar::all(128));
        frame->frame->timestamp = 1234;
        frame->frame->cameraName = "cam1";
    }
    void add(const cv::Mat& plate, int left, int top) {
        plate.copyTo(frame->frame->image(cv::Rect(left, top, plate.cols, plate.rows)));
        YoloObjectInfo box;
        box.id = frame->yoloInfo.size() + 10;
        box.left = left;
        box.top = top;
        box.width = plate.cols;
        box.height = plate.rows;
        box.detectionConfidence = 0.75f;
        frame->yoloInfo.push_back(box);
    }
    // An empty text still gets a mark in the first cell (which the reader skips), for contrast.
    void addText(const std::string& text, int left = 40, int top = 20) {
        cv::Mat plate = plate_drawing::colourPlate(text);
        if (text.empty()) {
            plate(cv::Rect(4, 8, 4, 4)).setTo(cv::Scalar::all(0));
        }
        add(plate, left, top);
    }
};

class PlateReaderComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = fs::current_path();
        fs::create_directories(dir.path() / "syntaxes");
        std::ofstream(dir.file("syntaxes/default-syntax.json")) << kSyntaxes;
        std::ofstream(dir.file("syntaxes/watchlist.json")) << kWatchlist;
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(previous); }

    static std::vector<LPRDetection> read(const std::string& text, const json& extra = json::object()) {
        PlateReaderComponent component(networkObject(extra));
        Scene scene;
        scene.addText(text);
        component.infer(scene.frame);
        return scene.frame->lprDetections;
    }

    TempDir dir;
    fs::path previous;
};

TEST_F(PlateReaderComponentTest, ReadsEveryBoxIntoTheFrame) {
    PlateReaderComponent component(networkObject());
    Scene scene;
    scene.addText("AB12C3D", 20, 20);
    scene.addText("4242", 300, 150);
    component.infer(scene.frame);
    const auto& dets = scene.frame->lprDetections;
    ASSERT_EQ(dets.size(), 2u);
    EXPECT_EQ(dets[0].value, "AB12C3D");
    EXPECT_EQ(dets[0].rootValue, "AB12C3D");
    EXPECT_EQ(dets[0].matchType, LPRMatchType::SyntaxExact);
    EXPECT_EQ(dets[0].idYoloInfo, 10u);
    EXPECT_EQ(dets[0].r, cv::Rect(20, 20, plate_drawing::kWidth, plate_drawing::kHeight));
    EXPECT_EQ(dets[0].plate.size(), dets[0].r.size());
    EXPECT_EQ(dets[0].prepared.size(), static_cast<size_t>(plate_drawing::kWidth * plate_drawing::kHeight));
    EXPECT_GT(dets[0].confidence, 0.9f);
    EXPECT_EQ(dets[1].value, "4242");
    EXPECT_EQ(dets[1].idYoloInfo, 11u);
    EXPECT_EQ(dets[1].r.x, 300);
}

TEST_F(PlateReaderComponentTest, WatchlistThenSyntaxCorrection) {
    struct Case {
        std::string drawn, value;
        LPRMatchType type;
        std::string info;
    };
    const Case cases[] = {
        {"XYZ987", "XYZ987", LPRMatchType::WatchlistExactUnique, "in watchlist XYZ987"},
        {"MM11", "MM11", LPRMatchType::WatchlistExactMulti, "in watchlist MM11"},
        {"PQB", "PQ8", LPRMatchType::WatchListAmbigueUniqie, "in watchlist PQ8"},
        {"V5V2", "VSV2", LPRMatchType::NoMatch, "in watchlist VSV2"},  // ambiguous with two records
        {"GH447", "GH4477", LPRMatchType::WatchlistCorrectionUnique, "in watchlist GH4477"},
        {"JJ1", "JJ12", LPRMatchType::NoMatch, "in watchlist JJ12"},  // one edit from two records
        {"AB12C3D", "AB12C3D", LPRMatchType::SyntaxExact, "[A-Z]{2}[0-9]{2}[A-Z][0-9][A-Z] -> AB12C3D"},
        {"A812C3D", "AB12C3D", LPRMatchType::SyntaxCorrection, "[A-Z]{2}[0-9]{2}[A-Z][0-9][A-Z] -> AB12C3D"},
        {"9", "9", LPRMatchType::NoMatch, "syntax not matched"},
    };
    PlateReaderComponent component(networkObject());
    for (const auto& c : cases) {
        CapturingLog::Installed capture;
        Scene scene;
        scene.addText(c.drawn);
        component.infer(scene.frame);
        ASSERT_EQ(scene.frame->lprDetections.size(), 1u) << c.drawn;
        const auto& det = scene.frame->lprDetections[0];
        EXPECT_EQ(det.value, c.value) << c.drawn;
        EXPECT_EQ(det.matchType, c.type) << c.drawn;
        EXPECT_EQ(det.rootValue, c.drawn);
        // The log shows the text as read, the info and the reader's root value.
        EXPECT_TRUE(capture.log->contains("cam1, READ: " + c.drawn + " ", ILog::LevelDebug)) << c.drawn;
        EXPECT_TRUE(capture.log->contains(
            " " + c.info + "  (tresh=0.50, w=256px, yoloConf=0.750000, rootValue=" + c.drawn + ")"))
            << c.drawn;
    }
}

TEST_F(PlateReaderComponentTest, AcceptanceByConfidenceRegularExpressionAndLength) {
    struct Case {
        std::string drawn;
        json extra;
        std::string ignored;  // expected part of the IGNORED READ line; empty: accepted
    };
    const Case cases[] = {
        {"AB12C3D", {{"treshold", 1.5}}, "cam1, IGNORED READ: AB12C3D "},
        {"AB12C3D",
         {{"treshold", 1.5}},
         "(tresh=1.50, confOk=0, regOk=1, lenMatch=1, w=256px, yoloConf=0.75"},
        {"1234", {{"regexp", "[0-9]{3}"}}, "confOk=1, regOk=0, lenMatch=1"},
        {"123", {{"regexp", "[0-9]{3}"}}, ""},
        {"", {}, "IGNORED READ:  "},
        {"", {}, "lenMatch=0"},
        {"AB12C3D", {{"treshold", 0}}, ""},
    };
    for (const auto& c : cases) {
        CapturingLog::Installed capture;
        auto dets = read(c.drawn, c.extra);
        if (c.ignored.empty()) {
            ASSERT_FALSE(dets.empty()) << c.drawn << " " << c.extra.dump();
            EXPECT_EQ(dets[0].value, c.drawn);
            continue;
        }
        EXPECT_TRUE(dets.empty()) << c.drawn << " " << c.extra.dump();
        EXPECT_TRUE(capture.log->contains(c.ignored, ILog::LevelDebug)) << c.ignored;
    }
}

std::vector<std::pair<std::string, cv::Size>> savedPlates() {
    std::vector<std::pair<std::string, cv::Size>> files;
    for (const auto& entry : fs::directory_iterator("plates")) {
        files.emplace_back(entry.path().filename().string(), cv::imread(entry.path().string()).size());
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return files;
}

TEST_F(PlateReaderComponentTest, SavePlatesWritesEveryReadingBeforeAcceptance) {
    fs::create_directories("plates");
    auto dets =
        read("AB12C3D", {{"savePlates", 1},
                         {"regexp", "never"},
                         {"model", {{"definition", {{"content", {{"decode", {{"beamSize", 10}}}}}}}}}});
    EXPECT_TRUE(dets.empty());
    auto files = savedPlates();
    ASSERT_GE(files.size(), 2u);  // the best reading and beam alternatives
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const auto& f) {
        return f.first == "plate_1234_AB12C3D_99.jpg" || f.first == "plate_1234_AB12C3D_100.jpg";
    }));
    fs::remove_all("plates");
    fs::create_directories("plates");
    read("", {{"savePlates", true}});
    files = savedPlates();
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const auto& f) {
        return f.first.rfind("plate_1234__", 0) == 0;  // nothing between the underscores
    }));
}

TEST_F(PlateReaderComponentTest, SavePlatesIntoAMissingDirectoryWarns) {
    CapturingLog::Installed capture;
    read("AB12C3D", {{"savePlates", true}, {"treshold", 0.5}});
    EXPECT_TRUE(
        capture.log->contains("cannot write plate crop plates/plate_1234_AB12C3D_", ILog::LevelWarning));
}

TEST(PlateReaderComponentNames, PlateFileNames) {
    EXPECT_EQ(PlateReaderComponent::plateFileName(1700000000123, "AB/12", 0.876f),
              "plates/plate_1700000000123_AB!12_87.jpg");
    EXPECT_EQ(PlateReaderComponent::plateFileName(5, "", 0.f), "plates/plate_5__0.jpg");
    EXPECT_EQ(PlateReaderComponent::plateFileName(5, "A/B/C", 1.f), "plates/plate_5_A!B!C_100.jpg");
}

TEST(PlateReaderComponentGeometry, ExpandedRectangles) {
    struct Case {
        YoloObjectInfo box;
        cv::Rect expected;
    };
    auto box = [](int l, int t, int w, int h) {
        YoloObjectInfo b;
        b.left = l;
        b.top = t;
        b.width = w;
        b.height = h;
        return b;
    };
    const Case cases[] = {
        {box(100, 50, 200, 40), {80, 48, 240, 44}},
        {box(500, 50, 200, 40), {480, 48, 160, 44}},   // cut at the right edge
        {box(5, 1, 100, 40), {0, 0, 120, 44}},         // moved in at the left and top, size kept
        {box(100, 450, 200, 40), {80, 448, 240, 32}},  // cut at the bottom
        {box(700, 10, 50, 20), {695, 9, -55, 22}},     // beyond the edge: empty, skipped by infer
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PlateReaderComponent::expandedRect(c.box, 0.1f, 0.05f, {640, 480}), c.expected)
            << c.box.toString();
    }
}

TEST(PlateReaderComponentGeometry, TwoLineTestAndUnfolding) {
    EXPECT_TRUE(PlateReaderComponent::is_us_format_plate(cv::Mat(120, 300, CV_8UC3), 2.92f));
    EXPECT_FALSE(PlateReaderComponent::is_us_format_plate(cv::Mat(100, 300, CV_8UC3), 2.92f));

    cv::Mat plate(100, 100, CV_8UC3, cv::Scalar(0, 0, 255));
    plate(cv::Rect(0, 50, 100, 50)).setTo(cv::Scalar(255, 0, 0));
    cv::Mat out;
    PlateReaderComponent::crop_image(plate, out, 0.25f, 0.5f);
    // top strip x 25, w int(0.42 * 100) = 42, h 50; bottom strip x 25, y 50, w 75, h 50
    ASSERT_EQ(out.size(), cv::Size(150, 50));
    EXPECT_EQ(cv::mean(out(cv::Rect(0, 0, 75, 50))), cv::Scalar(0, 0, 255, 0));
    EXPECT_EQ(cv::norm(out(cv::Rect(75, 0, 75, 50)), plate(cv::Rect(25, 50, 75, 50)), cv::NORM_INF), 0);

    PlateReaderComponent::crop_image(cv::Mat(1, 300, CV_8UC3), out, 0.21f, 0.6f);  // strips of height 0
    EXPECT_TRUE(out.empty());
}

TEST_F(PlateReaderComponentTest, TwoLinePlatesAreUnfoldedButTheFirstReadingKeepsTheCrop) {
    // Every reading's plate is saved: the first with the plain crop, the beam alternatives unfolded.
    PlateReaderComponent component(networkObject({{"twoLineOn", true}, {"savePlates", 1}}));
    for (const auto& [size, unfolded] :
         {std::pair{cv::Size(300, 120), true}, std::pair{cv::Size(300, 100), false}}) {
        fs::remove_all("plates");
        fs::create_directories("plates");
        Scene scene;
        cv::Mat plate;
        cv::resize(plate_drawing::colourPlate("AB12C3D", 3), plate, size, 0, 0, cv::INTER_AREA);
        scene.add(plate, 10, 10);
        component.infer(scene.frame);
        auto files = savedPlates();
        ASSERT_FALSE(files.empty());
        size_t plain = 0;
        for (const auto& [name, saved] : files) {
            if (saved == size) {
                ++plain;
            } else {
                EXPECT_TRUE(unfolded) << name;
                EXPECT_EQ(saved, cv::Size(2 * 237, 72))
                    << name;  // bottom strip 0.79 W x 0.6 H, twice as wide
            }
        }
        EXPECT_GE(plain, 1u) << size;
        for (const auto& det : scene.frame->lprDetections) {
            EXPECT_EQ(det.r, cv::Rect(cv::Point(10, 10), size));
        }
    }
}

TEST_F(PlateReaderComponentTest, EmptyCropsAreSkipped) {
    PlateReaderComponent component(networkObject({{"treshold", 0}}));
    Scene scene;
    YoloObjectInfo outside;
    outside.left = 700;
    outside.top = 10;
    outside.width = 20;
    outside.height = 10;
    YoloObjectInfo flat = outside;
    flat.left = 10;
    flat.height = 0;
    scene.frame->yoloInfo = {outside, flat};
    component.infer(scene.frame);
    EXPECT_TRUE(scene.frame->lprDetections.empty());
}

TEST_F(PlateReaderComponentTest, MissingImageRequirementsLogTwiceAndUseTheDefaults) {
    CapturingLog::Installed capture;
    json object = networkObject();
    object["model"]["definition"]["content"].erase("image-input-requirements");
    PlateReaderComponent component(object);
    EXPECT_EQ(capture.log->count("PlateReaderComponent getImageRequirements not found, error message: ",
                                 ILog::LevelError),
              2u);
}

TEST_F(PlateReaderComponentTest, ConstructionFailuresAndTheSharedReader) {
    const json bad[] = {
        networkObject({{"twoLine_pw", 0.46}}),
        networkObject({{"twoLine_pw", -0.1}}),
        networkObject({{"twoLine_ph", 0}}),
        networkObject({{"twoLine_ph", 1.5}}),
        networkObject({{"regexp", "["}}),
        networkObject({{"state_recognizer", stateRecognizerObject("yolo")}}),
        networkObject({{"treshold", "high"}}),
        networkObject({{"savePlates", "yes"}}),
        networkObject({{"digitOnly", 1}}),
    };
    for (const auto& object : bad) {
        EXPECT_ANY_THROW(PlateReaderComponent component(object)) << object.dump();
        EXPECT_EQ(PlateReaderComponent::readerUsers(kKey), 0u) << object.dump();  // given back
    }
    try {
        PlateReaderComponent component(networkObject({{"state_recognizer", stateRecognizerObject("yolo")}}));
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), R"(state_recognizer.type: expected "StateRecognizer", got string "yolo")");
    }
    {
        PlateReaderComponent first(networkObject());
        auto second = std::make_unique<PlateReaderComponent>(networkObject({{"name", "gru2"}}));
        EXPECT_EQ(PlateReaderComponent::readerUsers(kKey), 2u);
        second.reset();
        EXPECT_EQ(PlateReaderComponent::readerUsers(kKey), 1u);
    }
    EXPECT_EQ(PlateReaderComponent::readerUsers(kKey), 0u);
    fs::remove_all("syntaxes");
    EXPECT_THROW(PlateReaderComponent component(networkObject()), std::runtime_error);
    EXPECT_EQ(PlateReaderComponent::readerUsers(kKey), 0u);
}

TEST_F(PlateReaderComponentTest, EmbeddedStateRecognizerRunsOnEveryFrame) {
    PlateReaderComponent component(networkObject({{"state_recognizer", stateRecognizerObject()}}));
    Scene scene;
    scene.addText("AB12C3D");
    component.infer(scene.frame);
    ASSERT_EQ(scene.frame->lprDetections.size(), 1u);
    ASSERT_EQ(scene.frame->stateDetections.size(), 1u);
    EXPECT_EQ(scene.frame->stateDetections[0].idYoloInfo, 10u);
    EXPECT_EQ(scene.frame->stateDetections[0].classId, -1);
    EXPECT_FALSE(scene.frame->stateDetections[0].value.empty());

    Scene empty;  // no boxes: the recogniser still runs and replaces the states
    empty.frame->stateDetections.resize(2);
    component.infer(empty.frame);
    EXPECT_TRUE(empty.frame->lprDetections.empty());
    EXPECT_TRUE(empty.frame->stateDetections.empty());
}

}  // namespace
