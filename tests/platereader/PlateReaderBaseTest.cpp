#include "platereader/PlateReaderBase.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <limits>

namespace {

// A reader whose "network" returns a scripted output, so the decodings can be checked by hand.
class ScriptedReader : public PlateReaderBase {
  public:
    struct Settings {
        std::string alphabet = "AB ";
        int steps = 5;
        DecodeModes mode = BeamSearch;
        int beamSize = 3;
        int skip = 2;
        bool validation = false;
    };
    explicit ScriptedReader(const Settings& s) {
        alphabet = s.alphabet;
        ctcSize = s.steps;
        ctcWidth = static_cast<int>(s.alphabet.size());
        netWidth = 4;
        netHeight = 1;
        decodeMode = s.mode;
        beamSize = s.beamSize;
        ctcSkipCount = s.skip;
        validationMode = s.validation;
        checkSettings();
    }

    std::vector<float> output;
    std::vector<float> lastInput;

  protected:
    std::vector<float> infer(std::vector<float> input) override {
        lastInput = std::move(input);
        return output;
    }
};

// Rows of probabilities over "AB ", after two junk steps that both decodings skip.
std::vector<float> steps(const std::vector<std::vector<float>>& rows) {
    std::vector<float> out = {0.f, 1.f, 0.f, 0.f, 1.f, 0.f};
    for (const auto& r : rows) {
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

std::vector<LPRDetection> onePrepared() {
    std::vector<LPRDetection> dets(1);
    dets[0].prepared = {0.f, 0.f, 0.f, 0.f};
    dets[0].idYoloInfo = 7;
    dets[0].r = cv::Rect(1, 2, 3, 4);
    return dets;
}

ScriptedReader::Settings with(DecodeModes mode, bool validation = false) {
    ScriptedReader::Settings s;
    s.mode = mode;
    s.validation = validation;
    return s;
}

TEST(PlateReaderBase, GreedyDecodingHandComputed) {
    ScriptedReader::Settings s = with(GreedySearch);
    s.steps = 5;
    ScriptedReader reader(s);
    reader.output = steps({{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}, {0.1f, 0.7f, 0.2f}});
    auto dets = onePrepared();
    dets[0].rootValue = "untouched";
    reader.read(dets, nullptr);
    ASSERT_EQ(dets.size(), 1u);
    EXPECT_EQ(dets[0].value, "AB");
    EXPECT_NEAR(dets[0].confidence, 0.458, 1e-6);  // P("AB") over AAB, A_B, ABB, AB_, _AB
    EXPECT_EQ(dets[0].rootValue, "untouched");
}

TEST(PlateReaderBase, BeamAlternativesComeBestFirstWithTheBestAsRoot) {
    // Beam over steps 2..3 with the space as an ordinary token: "A " .36, "B " .18, "A" .12 ahead
    // of "AB" .12 (equal scores: the smaller last token first).
    ScriptedReader::Settings s = with(BeamSearch);
    s.steps = 4;
    ScriptedReader reader(s);
    reader.output = steps({{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}});
    auto dets = onePrepared();
    reader.read(dets, nullptr);
    ASSERT_EQ(dets.size(), 3u);
    const std::pair<std::string, float> expected[] = {{"A", 0.36f}, {"B", 0.18f}, {"A", 0.12f}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(dets[i].value, expected[i].first) << i;
        EXPECT_NEAR(dets[i].confidence, expected[i].second, 1e-5) << i;
        EXPECT_EQ(dets[i].rootValue, "A") << i;
        EXPECT_EQ(dets[i].idYoloInfo, 7u);
        EXPECT_EQ(dets[i].r, cv::Rect(1, 2, 3, 4));
        EXPECT_EQ(dets[i].prepared, dets[0].prepared);
    }
}

TEST(PlateReaderBase, BeamSizeOneGivesOneReading) {
    ScriptedReader::Settings s = with(BeamSearch);
    s.steps = 4;
    s.beamSize = 1;
    ScriptedReader reader(s);
    reader.output = steps({{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}});
    auto dets = onePrepared();
    reader.read(dets, nullptr);
    ASSERT_EQ(dets.size(), 1u);
    EXPECT_EQ(dets[0].value, "A");
    EXPECT_NEAR(dets[0].confidence, 0.36f, 1e-5);
}

TEST(PlateReaderBase, SkipEqualToTheStepsReadsTheEmptyText) {
    ScriptedReader::Settings s = with(BeamSearch);
    s.steps = 2;
    s.skip = 2;
    ScriptedReader reader(s);
    reader.output = steps({});
    auto dets = onePrepared();
    reader.read(dets, nullptr);
    ASSERT_EQ(dets.size(), 1u);
    EXPECT_EQ(dets[0].value, "");
    EXPECT_FLOAT_EQ(dets[0].confidence, 1.f);
}

TEST(PlateReaderBase, ValidationLinesCompareBeamWithGreedy) {
    struct Case {
        std::vector<std::vector<float>> rows;
        std::string line;
    };
    const Case cases[] = {
        // greedy A _ A reads "AA"; the beam's best is "A " ("A").
        {{{0.55f, 0.f, 0.45f}, {0.45f, 0.f, 0.55f}, {0.55f, 0.f, 0.45f}},
         "\x1b[0;41mNot match A != AA\x1b[0m\n"},
        // both "A"; beam .36 ("A "), greedy P("A") = .12 + .36 + .02 = .5
        {{{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}}, "\x1b[0;43mMatch A == A0.36 0.5\x1b[0m\n"},
        // both "B" with probability 1
        {{{0.f, 1.f, 0.f}, {0.f, 1.f, 0.f}}, "\x1b[0;42mMatch B == B\x1b[0m\n"},
    };
    for (const auto& c : cases) {
        ScriptedReader::Settings s = with(BeamSearch, true);
        s.steps = 2 + static_cast<int>(c.rows.size());
        ScriptedReader reader(s);
        reader.output = steps(c.rows);
        auto dets = onePrepared();
        testing::internal::CaptureStdout();
        reader.read(dets, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
}

TEST(PlateReaderBase, SettingsThatCannotWorkAreRefused) {
    struct Case {
        ScriptedReader::Settings settings;
        std::string what;
    };
    auto make = [](auto change) {
        ScriptedReader::Settings s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {make([](auto& s) { s.beamSize = 0; }), "beamSize"},
        {make([](auto& s) { s.beamSize = -3; }), "beamSize"},
        {make([](auto& s) { s.skip = -1; }), "skipSize"},
        {make([](auto& s) { s.skip = 6; }), "skipSize"},
        {make([](auto& s) { s.alphabet = ""; }), "alphabet"},
    };
    for (const auto& c : cases) {
        try {
            ScriptedReader reader(c.settings);
            ADD_FAILURE() << c.what << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
}

TEST(PlateReaderBase, ReadRefusesWhatItCannotDecode) {
    ScriptedReader reader(with(GreedySearch));
    reader.output = steps({{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}, {0.1f, 0.7f, 0.2f}});
    std::vector<LPRDetection> none;
    EXPECT_THROW(reader.read(none, nullptr), std::invalid_argument);
    auto two = onePrepared();
    two.push_back(two[0]);
    EXPECT_THROW(reader.read(two, nullptr), std::invalid_argument);
    std::vector<LPRDetection> unprepared(1);
    EXPECT_THROW(reader.read(unprepared, nullptr), std::invalid_argument);

    auto dets = onePrepared();
    reader.output.pop_back();
    EXPECT_THROW(reader.read(dets, nullptr), std::invalid_argument);
    reader.output.push_back(std::numeric_limits<float>::quiet_NaN());
    EXPECT_THROW(reader.read(dets, nullptr), std::runtime_error);
    reader.output.back() = std::numeric_limits<float>::infinity();
    EXPECT_THROW(reader.read(dets, nullptr), std::runtime_error);
}

TEST(PlateReaderBase, PrepareIsGreyResizedAndStretched) {
    ScriptedReader reader(with(GreedySearch));  // 4 x 1 input
    std::vector<LPRDetection> dets(1);
    // RGB order (channel 0 red): red, blue, black, white -> grey 76, 29, 0, 255.
    dets[0].plate = cv::Mat(1, 4, CV_8UC3);
    dets[0].plate.at<cv::Vec3b>(0, 0) = {255, 0, 0};
    dets[0].plate.at<cv::Vec3b>(0, 1) = {0, 0, 255};
    dets[0].plate.at<cv::Vec3b>(0, 2) = {0, 0, 0};
    dets[0].plate.at<cv::Vec3b>(0, 3) = {255, 255, 255};
    reader.prepare(dets);
    ASSERT_EQ(dets[0].prepared.size(), 4u);
    EXPECT_FLOAT_EQ(dets[0].prepared[0], 76.f / 255.f);
    EXPECT_FLOAT_EQ(dets[0].prepared[1], 29.f / 255.f);
    EXPECT_FLOAT_EQ(dets[0].prepared[2], 0.f);
    EXPECT_FLOAT_EQ(dets[0].prepared[3], 1.f);
}

TEST(PlateReaderBase, CropsWithoutContrastArePreparedAsZeros) {
    ScriptedReader reader(with(GreedySearch));
    std::vector<LPRDetection> dets(3);
    dets[0].plate = cv::Mat(200, 200, CV_8UC3, cv::Scalar(0, 0, 0));  // the warm-up image
    dets[1].plate = cv::Mat(5, 9, CV_8UC3, cv::Scalar(90, 90, 90));
    dets[2].plate = cv::Mat(5, 9, CV_8UC1, cv::Scalar(200));
    reader.prepare(dets);
    for (const auto& det : dets) {
        EXPECT_EQ(det.prepared, std::vector<float>(4, 0.f));
    }
}

TEST(PlateReaderBase, PrepareTakesGreyAndFourChannelCropsAndRefusesEmptyOnes) {
    ScriptedReader reader(with(GreedySearch));
    std::vector<LPRDetection> dets(2);
    dets[0].plate = (cv::Mat_<uint8_t>(1, 4) << 10, 20, 30, 50);
    dets[1].plate = cv::Mat(1, 4, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    dets[1].plate.at<cv::Vec4b>(0, 3) = {255, 255, 255, 255};
    reader.prepare(dets);
    EXPECT_EQ(dets[0].prepared, (std::vector<float>{0.f, 0.25f, 0.5f, 1.f}));
    EXPECT_EQ(dets[1].prepared, (std::vector<float>{0.f, 0.f, 0.f, 1.f}));
    std::vector<LPRDetection> empty(1);
    EXPECT_THROW(reader.prepare(empty), std::invalid_argument);
}

}  // namespace
