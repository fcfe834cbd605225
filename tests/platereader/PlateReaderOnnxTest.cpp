#include "platereader/PlateReaderOnnx.h"
#include "qo_common/utils/ConfigReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "platereader/PlateReaderFactory.h"
#include "tests/models/PlateDrawing.h"

namespace {

using nlohmann::json;

json networkObject(const json& decode = nullptr) {
    json object = {
        {"name", "plates"},
        {"model",
         {{"definition",
           {{"path", QO_PLATE_MODELS_DIR},
            {"content",
             {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}}}}}}}}};
    if (!decode.is_null()) {
        object["model"]["definition"]["content"]["decode"] = decode;
    }
    return object;
}

class PlateReaderOnnxTest : public ::testing::Test {
  protected:
    // The engine cache goes to ./cache of the working directory: keep it in a scratch directory.
    void SetUp() override {
        previous = std::filesystem::current_path();
        dir = std::filesystem::temp_directory_path() / ("plate_reader_onnx_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(dir);
    }

    static std::vector<LPRDetection> readPlate(IPlateReader& reader, const cv::Mat& plate) {
        std::vector<LPRDetection> dets(1);
        dets[0].plate = plate;
        reader.prepare(dets);
        reader.read(dets, nullptr);
        return dets;
    }

    std::filesystem::path previous, dir;
};

TEST_F(PlateReaderOnnxTest, ShapesAndDefaultsComeFromTheModel) {
    PlateReaderOnnx reader(networkObject(), false, 1);
    EXPECT_EQ(reader.getNetWidth(), plate_drawing::kWidth);
    EXPECT_EQ(reader.getNetHeight(), plate_drawing::kHeight);
    EXPECT_EQ(reader.getCtcSize(), plate_drawing::kSteps);
    EXPECT_EQ(reader.getCtcWidth(), 36);
    EXPECT_EQ(reader.getDecodeMode(), BeamSearch);
    EXPECT_EQ(reader.getBeamSize(), 3);
    EXPECT_EQ(reader.getCtcSkipCount(), 2);
    EXPECT_TRUE(std::filesystem::exists("cache"));
}

TEST_F(PlateReaderOnnxTest, ReadsADrawnPlateEndToEndWithBothDecodings) {
    struct Case {
        json decode;
        size_t minReadings;
    };
    const Case cases[] = {{nullptr, 1}, {{{"type", "beam"}, {"beamSize", 10}}, 2}, {{{"type", "greedy"}}, 1}};
    for (const auto& c : cases) {
        auto reader = createPlateReader(networkObject(c.decode), false, 1);
        for (const std::string text : {"AB12C3D", "7Z8B5S", "XX11"}) {
            auto dets = readPlate(*reader, plate_drawing::colourPlate(text, 2));
            ASSERT_GE(dets.size(), c.minReadings) << c.decode.dump();
            EXPECT_EQ(dets[0].value, text) << c.decode.dump();
            EXPECT_GT(dets[0].confidence, 0.9f) << c.decode.dump();
            EXPECT_LE(dets[0].confidence, 1.f);
            bool greedy = c.decode.is_object() && c.decode.value("type", "") == "greedy";
            EXPECT_EQ(dets[0].rootValue, greedy ? "" : text);
            for (size_t i = 1; i < dets.size(); ++i) {
                EXPECT_EQ(dets[i].rootValue, text);
                EXPECT_LE(dets[i].confidence, dets[i - 1].confidence);
            }
        }
    }
}

TEST_F(PlateReaderOnnxTest, WarmUpImageReadsNothingHarmful) {
    auto reader = createPlateReader(networkObject(), false, 1);
    auto dets = readPlate(*reader, cv::Mat(200, 200, CV_8UC3, cv::Scalar(0, 0, 0)));
    ASSERT_FALSE(dets.empty());
    for (const auto& det : dets) {
        EXPECT_TRUE(std::isfinite(det.confidence));
        EXPECT_EQ(det.prepared, std::vector<float>(plate_drawing::kWidth * plate_drawing::kHeight, 0.f));
    }
}

TEST_F(PlateReaderOnnxTest, ConfigurationsThatCannotWorkFailTheConstruction) {
    struct Case {
        json object;
        std::string message;  // empty: a JSON library error
    };
    auto changed = [](auto change) {
        json o = networkObject();
        change(o);
        return o;
    };
    const Case cases[] = {
        {changed([](json& o) { o["model"]["definition"]["content"]["files"]["alphabet"] = "0123456789 "; }),
         "PlateReaderOnnx: the alphabet has 11 characters but the model gives 36 scores per step"},
        {changed([](json& o) { o["model"]["definition"]["content"]["files"]["weights"] = "missing.onnx"; }),
         "PlateReaderOnnx: cannot open ONNX file"},
        {changed(
             [](json& o) { o["model"]["definition"]["content"]["files"]["weights"] = "dynamic_input.onnx"; }),
         "PlateReaderOnnx: cannot load ONNX file"},
        {networkObject({{"beamSize", 0}}),
         "model.definition.content.decode.beamSize: expected an integer from 1 to 100, got number 0"},
        {networkObject({{"beamSize", 4294967299}}),
         "model.definition.content.decode.beamSize: expected an integer from 1 to 100, got number "
         "4294967299"},
        {networkObject({{"skipSize", -1}}),
         "model.definition.content.decode.skipSize: expected an integer from 0 to 2147483647, got number -1"},
        {networkObject({{"skipSize", 17}}), "PlateReaderOnnx: skipSize 17 is outside [0, 16]"},
    };
    for (const auto& c : cases) {
        try {
            PlateReaderOnnx reader(c.object, false, 1);
            ADD_FAILURE() << c.message << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST_F(PlateReaderOnnxTest, MissingOrMistypedKeysFailNamingTheirPath) {
    json noName = networkObject();
    noName.erase("name");
    json noAlphabet = networkObject();
    noAlphabet["model"]["definition"]["content"]["files"].erase("alphabet");
    const std::pair<json, std::string> cases[] = {
        {noName, "name: missing, expected a non-empty string"},
        {noAlphabet, "model.definition.content.files.alphabet: missing, expected a non-empty string"},
        {networkObject(json::array({1})),
         "model.definition.content.decode: expected an object, got array [1]"},
        {networkObject({{"beamSize", "ten"}}),
         R"(model.definition.content.decode.beamSize: expected an integer from 1 to 100, got string "ten")"},
        {networkObject({{"beamSize", 2.5}}),
         "model.definition.content.decode.beamSize: expected an integer from 1 to 100, got number 2.5"},
    };
    for (const auto& [object, error] : cases) {
        try {
            PlateReaderOnnx reader(object, false, 1);
            ADD_FAILURE() << error << " accepted";
        } catch (const ek::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
}

TEST_F(PlateReaderOnnxTest, OneSharedReaderServesSeveralThreads) {
    auto reader = createPlateReader(networkObject({{"beamSize", 5}}), false, 1);
    const std::vector<std::string> texts = {"AB12C3D", "XYZ987", "5S2Z"};
    std::vector<std::thread> threads;
    for (const auto& text : texts) {
        threads.emplace_back([&, text] {
            for (int i = 0; i < 10; ++i) {
                auto dets = readPlate(*reader, plate_drawing::colourPlate(text));
                EXPECT_EQ(dets[0].value, text);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
}

// Networks in parallel, decodings one at a time: every reading (alternatives included) is the one
// a read alone gives, for both decodings.
TEST_F(PlateReaderOnnxTest, ParallelReadsOfOneReaderMatchReadsAlone) {
    const std::vector<std::string> texts = {"AB12C3D", "XYZ987", "5S2Z", "777", "M0N1Q2"};
    for (const char* type : {"beam", "greedy"}) {
        SCOPED_TRACE(type);
        auto reader = createPlateReader(networkObject({{"type", type}, {"beamSize", 4}}), false, 1);
        std::vector<std::vector<LPRDetection>> alone;
        for (const auto& text : texts) {
            alone.push_back(readPlate(*reader, plate_drawing::colourPlate(text)));
        }
        reader->setUsers(4);
        std::atomic<int> differing{0};
        std::vector<std::thread> threads;
        for (size_t t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (size_t i = 0; i < 15; ++i) {
                    const size_t which = (t + i) % texts.size();
                    const auto got = readPlate(*reader, plate_drawing::colourPlate(texts[which]));
                    const auto& want = alone[which];
                    bool same = got.size() == want.size();
                    for (size_t k = 0; same && k < got.size(); ++k) {
                        same = got[k].value == want[k].value && got[k].rootValue == want[k].rootValue &&
                               std::fabs(got[k].confidence - want[k].confidence) <= 1e-5f;
                    }
                    differing += same ? 0 : 1;
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(differing.load(), 0);
    }
}

}  // namespace
