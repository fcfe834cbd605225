// Loads one debug output, feeds it five frames and stops it the way the service does; prints
// what happened. Run by OutputsTest under Xvfb and without any display.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "src/loaders/Outputs.h"
#include "tests/support/CapturingLog.h"

int main() {
    auto capture = CapturingLog::install();
    int consumed = 0;
    {
        ek::PipelineContext ctx(nlohmann::json{{"webserver", {{"port", 0}}}});
        ek::loadOutputs(ctx, nlohmann::json::array({{{"name", "smoke"}, {"type", "window"}}}));
        for (int i = 0; i < 5; ++i) {
            auto frame = std::make_shared<FrameWithInfo>();
            frame->frame = std::make_shared<ek::pipeline::Frame>(
                cv::Mat(240, 320, CV_8UC3, cv::Scalar(40 * i, 80, 160)));
            ctx.queues.at("smoke")->push(frame);
        }
        ctx.queues.at("smoke")->push(FrameWithInfo::makePoison());
        for (auto& t : ctx.players) {
            t.join();
        }
        consumed = ctx.outputs.at("smoke").cnt;
    }
    std::printf("frames consumed: %d\n", consumed);
    std::printf("display: %s\n", capture.log->contains("no display available") ? "no" : "yes");
    for (const auto& line : capture.log->messages()) {
        if (line.find("display") != std::string::npos) {
            std::printf("log: %s\n", line.c_str());
        }
    }
    for (const auto& line : capture.log->messages(ILog::LevelError)) {
        std::printf("error: %s\n", line.c_str());
    }
    std::fflush(stdout);  // a sanitizer's exit report must not swallow these lines
    return 0;
}
