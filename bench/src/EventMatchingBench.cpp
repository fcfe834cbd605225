// What a licence-plate builder spends per frame to match the frame's readings to its events
// (lprGroupByRect + findEvent + EventGroup::appendLPRs, 3 readings against 10 open events), next to
// what the demo detector costs per frame in the YOLO component (prepare + infer on a frame of the
// demo video). Matching should cost at most 1 % of detection.
//
// Both run with a logger installed that drops every line, as in a service below Debug level: the
// log front still formats each line, so that cost is counted on both sides.
// Run: build/bench/src/event_matching_bench
#include <benchmark/benchmark.h>

#include <opencv2/videoio.hpp>

#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "src/PipelineContext.h"
#include "src/components/YoloComponent.h"
#include "src/event_builder/Event.h"
#include "src/event_builder/EventBuilderComponent.h"

namespace {

const std::string kSource = QO_SOURCE_DIR;

// The base's services as a licence-plate builder uses them on each frame.
class MatchingBuilder : public EventBuilderComponent {
  public:
    MatchingBuilder(ek::PipelineContext& ctx, const nlohmann::json& config,
                    const EventGroupSettings* settings)
        : EventBuilderComponent(ctx, config), settings_(settings) {}

    void match(const std::shared_ptr<FrameWithInfo>& frame, History& history) const {
        for (const auto& [objectId, readings] : lprGroupByRect(frame)) {
            (void)objectId;
            auto event =
                findEvent(&history, readings, [this] { return std::make_shared<EventGroup>(settings_); });
            static_cast<EventGroup&>(*event).appendLPRs(frame, readings, nullptr);
        }
    }

    void start() override {}
    void consume(std::shared_ptr<FrameWithInfo>) override {}
    void trigger(const QEVATriggerEvent&, const std::vector<int>&) override {}
    std::string getStatString() const override { return name; }
    nlohmann::json getStatistics() const override { return nlohmann::json::object(); }
    EventBuilderMode mode() const override { return EventBuilderMode::NonTriggered; }

  private:
    const EventGroupSettings* settings_;
};

class DroppingLog {
  public:
    DroppingLog() : previous_(ILog::instance) { ILog::instance = std::make_shared<ILog>(); }
    ~DroppingLog() { ILog::instance = previous_; }

  private:
    std::shared_ptr<ILog> previous_;
};

std::shared_ptr<FrameWithInfo> cameraFrame(const cv::Mat& image) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->image = image;
    frame->frame->sourceId = 1;
    frame->frame->cameraName = "road";
    frame->frame->guid = "frame";
    frame->plateWidth = {40, 640};
    return frame;
}

void addReading(FrameWithInfo& frame, const std::string& text, uint64_t objectId) {
    LPRDetection reading;
    reading.value = text;
    reading.confidence = 0.9f;
    reading.idYoloInfo = objectId;
    reading.r = cv::Rect(100 + 150 * static_cast<int>(objectId), 200, 80, 20);
    frame.lprDetections.push_back(reading);
}

// Ten vehicles, each already read under three texts (its plate and two misreadings).
EventBuilderComponent::History openEvents(const EventGroupSettings& settings, const cv::Mat& image) {
    EventBuilderComponent::History history;
    for (int v = 0; v < 10; ++v) {
        const std::string plate = "AB" + std::to_string(100 + v) + "CD";
        auto event = std::make_shared<EventGroup>(&settings);
        auto frame = cameraFrame(image);
        frame->frame->timestamp = v;
        for (const std::string& text : {plate, plate.substr(0, 6) + "0", "A8" + plate.substr(2)}) {
            addReading(*frame, text, 0);
        }
        std::vector<const LPRDetection*> readings;
        for (const auto& r : frame->lprDetections) {
            readings.push_back(&r);
        }
        event->appendLPRs(frame, readings, nullptr);
        history.push_back(event);
    }
    return history;
}

// Argument 1: with the dropping logger (the figure compared); 0: no logger at all, which shows what the
// formatting of the Debug lines costs.
void BM_Matching(benchmark::State& state) {
    std::optional<DroppingLog> log;
    if (state.range(0) != 0) {
        log.emplace();
    }
    ek::PipelineContext ctx(nlohmann::json{{"webserver", {{"port", 0}}}});
    EventGroupSettings settings;
    settings.eventBuilderName = "lane1";
    MatchingBuilder builder(
        ctx, {{"name", "lane1"}, {"destinations", nlohmann::json::array()}, {"maxLevDist", 1}}, &settings);
    const cv::Mat image(360, 640, CV_8UC3, cv::Scalar::all(0));
    auto history = openEvents(settings, image);
    // The three newest vehicles again: one exact, one misread by one letter, one cut short.
    auto frame = cameraFrame(image);
    addReading(*frame, "AB107CD", 0);
    addReading(*frame, "AB108CO", 1);
    addReading(*frame, "B109CD", 2);
    int64_t ts = 1000;
    for (auto _ : state) {
        frame->frame->timestamp = ++ts;
        builder.match(frame, history);
    }
    state.counters["events"] = static_cast<double>(history.size());
}

cv::Mat roadFrame() {
    cv::VideoCapture video(kSource + "/demo/road.mp4");
    cv::Mat image;
    for (int i = 0; i < 250 && video.read(image); ++i) {
    }
    if (image.empty()) {
        throw std::runtime_error("cannot read demo/road.mp4");
    }
    return image;
}

void BM_DemoDetector(benchmark::State& state) {
    DroppingLog log;
    YoloComponent yolo({{"name", "plates"},
                        {"type", "yolo"},
                        {"treshold", 0.5},
                        {"destinations", nlohmann::json::array()},
                        {"model",
                         {{"resize", 2},
                          {"keepAspect", true},
                          {"nms", 0.45},
                          {"definition",
                           {{"path", kSource + "/demo/models"},
                            {"cfg", "plate_detector.onnx"},
                            {"content", {{"files", nlohmann::json::object()}}}}}}}});
    auto frame = cameraFrame(roadFrame());
    for (auto _ : state) {
        yolo.prepare(frame);
        yolo.infer(frame);
        benchmark::DoNotOptimize(frame->yoloInfo);
    }
    state.counters["plates"] = static_cast<double>(frame->yoloInfo.size());
}

BENCHMARK(BM_Matching)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_DemoDetector)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Prints matching as a share of detection after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                seconds_[run.run_name.function_name +
                         (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double matching = seconds_["BM_Matching/1"];
        const double detection = seconds_["BM_DemoDetector"];
        if (matching > 0 && detection > 0) {
            std::cout << "matching " << matching * 1e6 << " us per frame, detection " << detection * 1e3
                      << " ms per frame: matching is " << 100.0 * matching / detection << " % of detection\n";
        }
    }

  private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
