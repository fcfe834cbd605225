// YOLO component (prepare + infer, box filters included) per frame, next to the bare
// cv::dnn::Net::forward of the same 640 x 640 model on an already prepared input. The model is the
// generated grid detector behind a ~2 GMAC convolutional backbone (a small real detector's cost),
// with 3 anchors per 32 px cell: 1200 output rows.
#include <benchmark/benchmark.h>

#include <opencv2/dnn.hpp>

#include <iostream>
#include <map>

#include "platform/yolo/YoloOutputDecoder.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/YoloComponent.h"

namespace {

const std::string kDir = QO_BENCH_MODEL_DIR;

nlohmann::json network() {
    return {{"name", "yolo"},
            {"type", "yolo"},
            {"treshold", 0.5},
            {"destinations", nlohmann::json::array()},
            {"model",
             {{"resize", 2},
              {"keepAspect", true},
              {"definition",
               {{"path", kDir},
                {"cfg", "bench_detector_640.onnx"},
                {"content", {{"files", {{"class-names", "bench_detector.names"}}}}}}}}}};
}

// A road-like frame with a few bright plates on cells.
cv::Mat frameImage(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, 0, 90);
    for (int x = 32; x + 96 <= size.width; x += 300) {
        image(cv::Rect(x, size.height / 2, 96, 32)).setTo(cv::Scalar::all(255));
    }
    return image;
}

void BM_NetForward(benchmark::State& state) {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(kDir + "/bench_detector_640.onnx");
    auto detector = MultisizeYoloDetector::load(network()["model"]);
    auto input = detector.prepare(frameImage({1920, 1080}));
    int dims[] = {1, 3, 640, 640};
    cv::Mat blob(4, dims, CV_32F, input.data());
    auto names = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> outs;
    net.setInput(blob);
    net.forward(outs, names);  // warm-up
    for (auto _ : state) {
        net.setInput(blob);
        net.forward(outs, names);
        benchmark::DoNotOptimize(outs);
    }
}

void BM_YoloComponent(benchmark::State& state) {
    YoloComponent yolo(network());
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->image = frameImage({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
    for (auto _ : state) {
        yolo.prepare(frame);
        yolo.infer(frame);
        benchmark::DoNotOptimize(frame->yoloInfo);
    }
    state.counters["plates"] = static_cast<double>(frame->yoloInfo.size());
}

// Our parts alone: the input made from a frame, and the decoding (with suppression) of a real output.
void BM_YoloPrepare(benchmark::State& state) {
    YoloComponent yolo(network());
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->image = frameImage({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
    for (auto _ : state) {
        yolo.prepare(frame);
        benchmark::DoNotOptimize(frame->small);
    }
}

void BM_YoloDecode(benchmark::State& state) {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(kDir + "/bench_detector_640.onnx");
    auto detector = MultisizeYoloDetector::load(network()["model"]);
    auto input = detector.prepare(frameImage({640, 640}));
    int dims[] = {1, 3, 640, 640};
    net.setInput(cv::Mat(4, dims, CV_32F, input.data()));
    std::vector<cv::Mat> outs;
    net.forward(outs, net.getUnconnectedOutLayersNames());
    YoloOutputDecoder decoder(YoloLayout::V5, 3, {640, 640}, 0.45f);
    size_t found = 0;
    for (auto _ : state) {
        found = decoder.decode(outs, 0.5f).size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["boxes"] = static_cast<double>(found);
}

BENCHMARK(BM_YoloPrepare)->Args({640, 640})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_YoloDecode)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_NetForward)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_YoloComponent)
    ->Args({640, 640})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

// Prints the component's overhead over the bare forward pass after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double forward = times_["BM_NetForward/min_time:2.000/real_time"];
        for (const auto& [name, ms] : times_) {
            if (name.rfind("BM_YoloComponent", 0) == 0 && forward > 0) {
                std::cout << name << ": " << ms << " ms per frame, forward " << forward << " ms, overhead "
                          << 100.0 * (ms - forward) / forward << " % of forward\n";
            }
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
