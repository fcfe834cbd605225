// Debug outputs: the consume step through an injected display, loading, and a window under Xvfb.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "qo_common/utils/ConfigReader.h"
#include "qo_common/utils/VideoOutput.h"
#include "src/loaders/DisplayProbe.h"
#include "src/loaders/Outputs.h"
#include "tests/support/CapturingLog.h"

using nlohmann::json;

namespace {

const cv::Vec3b kBoxColour(255, 50, 0);
const cv::Vec3b kPlateColour(20, 50, 190);
const cv::Vec3b kCounterColour(110, 0, 255);

std::shared_ptr<FrameWithInfo> blackFrame(int width = 640, int height = 480) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame =
        std::make_shared<ek::pipeline::Frame>(cv::Mat(height, width, CV_8UC3, cv::Scalar(0, 0, 0)));
    return frame;
}

size_t pixelsOf(const cv::Mat& image, cv::Vec3b colour, int tolerance = 40) {
    size_t n = 0;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            cv::Vec3b p = image.at<cv::Vec3b>(y, x);
            if (std::abs(p[0] - colour[0]) <= tolerance && std::abs(p[1] - colour[1]) <= tolerance &&
                std::abs(p[2] - colour[2]) <= tolerance) {
                ++n;
            }
        }
    }
    return n;
}

struct Shown {
    std::vector<std::string> windows;
    std::vector<cv::Mat> images;
};

VideoOutput outputShowingInto(Shown& shown) {
    VideoOutput out;
    out.type = "window";
    out.name = "lane1";
    out.show = [&shown](const std::string& window, const cv::Mat& image) {
        shown.windows.push_back(window);
        shown.images.push_back(image.clone());
    };
    return out;
}

TEST(VideoOutputConsume, DrawsBoxesAndReadingOnAQuarterSizedCopy) {
    Shown shown;
    VideoOutput out = outputShowingInto(shown);
    auto frame = blackFrame();
    YoloObjectInfo box;
    box.left = 400;
    box.top = 300;
    box.width = 160;
    box.height = 80;
    frame->yoloInfo.push_back(box);
    LPRDetection reading;
    reading.value = "AB123";
    reading.confidence = 0.876f;
    reading.r = cv::Rect(80, 320, 200, 60);  // a reading without a box of its own is drawn too
    frame->lprDetections.push_back(reading);

    out.consume(frame);

    ASSERT_EQ(shown.images.size(), 1u);
    EXPECT_EQ(shown.windows[0], "lane1");
    const cv::Mat& image = shown.images[0];
    EXPECT_EQ(image.size(), cv::Size(160, 120));
    // The box's top edge (y = 300 -> 75) in the box colour, the reading's left edge (x = 80 -> 20).
    EXPECT_GT(pixelsOf(image(cv::Rect(100, 74, 40, 2)), kBoxColour), 20u);
    EXPECT_GT(pixelsOf(image(cv::Rect(19, 85, 2, 10)), kPlateColour), 5u);
    // The counter at (30, 30), bottom-left of its text.
    EXPECT_GT(pixelsOf(image(cv::Rect(30, 5, 100, 26)), kCounterColour), 20u);
    // The frame that travels on is untouched.
    EXPECT_EQ(cv::countNonZero(frame->frame->image.reshape(1)), 0);
    EXPECT_EQ(out.cnt, 1);
}

TEST(VideoOutputConsume, FrameWithoutDetectionsShowsOnlyTheCounter) {
    Shown shown;
    VideoOutput out = outputShowingInto(shown);
    out.consume(blackFrame());
    ASSERT_EQ(shown.images.size(), 1u);
    EXPECT_EQ(pixelsOf(shown.images[0], kBoxColour), 0u);
    EXPECT_EQ(pixelsOf(shown.images[0], kPlateColour), 0u);
    size_t counter = pixelsOf(shown.images[0], kCounterColour);
    EXPECT_GT(counter, 20u);
    EXPECT_EQ(pixelsOf(shown.images[0](cv::Rect(30, 5, 100, 26)), kCounterColour), counter);
}

TEST(VideoOutputConsume, CounterCountsFromZero) {
    Shown shown;
    VideoOutput out = outputShowingInto(shown);
    for (int i = 0; i < 10; ++i) {
        out.consume(blackFrame());
    }
    ASSERT_EQ(shown.images.size(), 10u);
    EXPECT_EQ(out.cnt, 10);
    // "cnt=0" and "cnt=9" differ only in their last glyph; "cnt=0" matches the first image.
    cv::Mat expected0(120, 160, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::putText(expected0, "cnt=0", {30, 30}, cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(110, 0, 255), 1,
                cv::LINE_8);
    cv::Mat expected9 = cv::Mat::zeros(120, 160, CV_8UC3);
    cv::putText(expected9, "cnt=9", {30, 30}, cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(110, 0, 255), 1,
                cv::LINE_8);
    EXPECT_EQ(cv::norm(shown.images[0], expected0, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(shown.images[9], expected9, cv::NORM_INF), 0.0);
}

TEST(VideoOutputConsume, TooSmallOrEmptyImagesCountWithoutShowing) {
    Shown shown;
    VideoOutput out = outputShowingInto(shown);
    auto empty = std::make_shared<FrameWithInfo>();
    out.consume(empty);
    out.consume(blackFrame(3, 3));
    EXPECT_TRUE(shown.images.empty());
    EXPECT_EQ(out.cnt, 2);
    VideoOutput blind;  // no display: drawn, counted, dropped
    blind.consume(blackFrame());
    EXPECT_EQ(blind.cnt, 1);
}

// Runs with DISPLAY and QT_QPA_PLATFORM removed, so this process can never reach highgui.
class NoDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        save("DISPLAY");
        save("QT_QPA_PLATFORM");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value.has_value()) {
                setenv(name.c_str(), value->c_str(), 1);
            }
        }
    }
    void save(const char* name) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(NoDisplay, ProbeSaysWhy) {
    std::string why;
    EXPECT_FALSE(DisplayProbe::available(why));
    EXPECT_EQ(why, "DISPLAY is not set");
    setenv("DISPLAY", ":4711", 1);  // no such server
    EXPECT_FALSE(DisplayProbe::available(why));
    EXPECT_EQ(why, "cannot open the X display :4711");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    EXPECT_FALSE(DisplayProbe::available(why));
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_TRUE(DisplayProbe::available(why));
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("DISPLAY");
}

TEST_F(NoDisplay, PlayersConsumeEveryFrameWithOneWarning) {
    auto capture = CapturingLog::install();
    {
        ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
        ek::loadOutputs(ctx,
                        json::array({{{"name", "a"}, {"type", "window"}}, {{"name", "b"}, {"type", "x"}}}));
        ASSERT_EQ(ctx.players.size(), 2u);  // the players only: no display thread
        EXPECT_EQ(ctx.queues.at("a")->capacity(), 1u);
        EXPECT_EQ(ctx.outputs.at("b").type, "x");
        for (int i = 0; i < 4; ++i) {
            ctx.queues.at("a")->push(blackFrame());  // each push waits until the player took the one before
        }
        for (const char* name : {"a", "b"}) {
            ctx.queues.at(name)->push(FrameWithInfo::makePoison());
        }
        for (auto& t : ctx.players) {
            t.join();
        }
        EXPECT_EQ(ctx.outputs.at("a").cnt, 4);
        EXPECT_EQ(ctx.outputs.at("b").cnt, 0);
    }
    const auto& log = *capture.log;
    EXPECT_EQ(log.count("Outputs: no display available (DISPLAY is not set)", ILog::LevelWarning), 1u);
    EXPECT_EQ(log.count("Creating outs", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("Starting outs", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("started player a", ILog::LevelInfo), 1u);
    EXPECT_EQ(log.count("stopped player b", ILog::LevelInfo), 1u);
}

TEST(LoadOutputs, MalformedEntriesFailBeforeAnyThread) {
    auto capture = CapturingLog::install();
    const std::vector<std::pair<json, std::string>> cases = {
        {json::array({{{"name", "a"}}}), "outputs[0].type: missing, expected a string"},
        {json::array({{{"name", "a"}, {"type", "t"}}, {{"name", 1}, {"type", "t"}}}),
         "outputs[1].name: expected a non-empty string, got number 1"},
        {json::array({nullptr}), "outputs[0]: expected an object, got null"},
        {json::array({"a"}), R"(outputs[0]: expected an object, got string "a")"},
        {json{{"o", {{"name", "a"}}}}, R"(outputs: expected an array, got object {"o":{"name":"a"}})"},
    };
    for (const auto& [outputs, error] : cases) {
        ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
        try {
            ek::loadOutputs(ctx, outputs);
            ADD_FAILURE() << outputs.dump() << " accepted";
        } catch (const ek::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
        EXPECT_TRUE(ctx.players.empty());
    }
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    ek::loadOutputs(ctx, nullptr);
    EXPECT_TRUE(ctx.outputs.empty());
}

// A real window: the smoke program loads one output and shows frames in it under Xvfb, in a
// process of its own, so that a display fault cannot take this test runner down with it.
std::string run(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return out;
    }
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        out += buffer.data();
    }
    status = pclose(pipe);
    return out;
}

TEST(OutputWindow, ShowsUnderXvfbAndEndsCleanly) {
    if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xvfb-run is not installed (Debian package xvfb)";
    }
    int status = 0;
    std::string out = run("env -u QT_QPA_PLATFORM xvfb-run -a " OUTPUT_SMOKE " 2>&1", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("frames consumed: 5"), std::string::npos) << out;
    EXPECT_NE(out.find("display: yes"), std::string::npos) << out;
    EXPECT_NE(out.find("display thread stopped after"), std::string::npos) << out;
    EXPECT_EQ(out.find("after 0 pictures"), std::string::npos) << out;
    EXPECT_EQ(out.find("error:"), std::string::npos) << out;
}

TEST(OutputWindow, WithoutAnyDisplayTheProcessStillEndsCleanly) {
    int status = 0;
    std::string out = run("env -u DISPLAY -u QT_QPA_PLATFORM " OUTPUT_SMOKE " 2>&1", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("frames consumed: 5"), std::string::npos) << out;
    EXPECT_NE(out.find("display: no"), std::string::npos) << out;
}

}  // namespace
