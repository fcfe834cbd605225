// The bare single-threaded cost of one road frame on this CPU: the demo detector's forward plus
// one reader forward per plate box the detector accepts, each forward on one OpenCV thread, in CPU
// time of the calling thread. Also the components' own single-threaded cost a frame (detector
// prepare + infer, reader infer), for comparison. A driver that prints figures; the capacity run
// reads its last line.
//
//   demo_frame_cost [video, default demo/road.mp4] [frames, default 250]
#include <opencv2/dnn.hpp>

#include <time.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "qo_common/video/IVideoSource.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/ComponentFactory.h"
#include "src/components/YoloComponent.h"
#include "tests/demo/DemoFiles.h"
#include "trt/TRTInferer.h"
#include "trt/TRTOnnxBuilder.h"

namespace {

using nlohmann::json;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

json networkOfType(const json& config, const std::string& type) {
    for (const json& network : config.at("networks")) {
        if (network.at("type") == type) {
            return network;
        }
    }
    throw std::runtime_error("the demo configuration has no network of type " + type);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string video = argc > 1 ? argv[1] : demo_files::sourcePath("demo/road.mp4");
        const long maxFrames = argc > 2 ? std::stol(argv[2]) : 250;
        cv::setNumThreads(1);
        const json config = demo_files::demoConfig();
        const std::string models = demo_files::sourcePath("demo/models");
        json detectorNetwork = networkOfType(config, "yolo");
        json readerNetwork = networkOfType(config, "PlateReaderV3Colored");
        detectorNetwork["model"]["definition"]["path"] = models;
        readerNetwork["model"]["definition"]["path"] = models;
        readerNetwork["destinations"] = json::array();
        detectorNetwork["destinations"] = json::array();
        // The reader's syntax files and engine cache are relative to the working directory.
        const auto scratch = std::filesystem::temp_directory_path() / "demo_frame_cost";
        std::filesystem::create_directories(scratch / "syntaxes");
        for (const char* f : {"default-syntax.json", "watchlist.json"}) {
            std::filesystem::copy_file(demo_files::sourcePath(std::string("syntaxes/") + f),
                                       scratch / "syntaxes" / f,
                                       std::filesystem::copy_options::overwrite_existing);
        }
        std::filesystem::current_path(scratch);
        auto detector = ComponentFactory::create("yolo", detectorNetwork);
        auto reader = ComponentFactory::create("PlateReaderV3Colored", readerNetwork);
        const cv::Size input = dynamic_cast<YoloComponent&>(*detector).detector()->inputSize();

        cv::dnn::Net detectorNet = cv::dnn::readNetFromONNX(
            models + "/" + detectorNetwork["model"]["definition"]["cfg"].get<std::string>());
        const auto outputs = detectorNet.getUnconnectedOutLayersNames();
        TRTOnnxBuilder readerModel(
            models + "/" +
                readerNetwork["model"]["definition"]["content"]["files"]["weights"].get<std::string>(),
            "");
        TRTInferer readerNet(readerModel.getEngine(), readerModel.dims(), 1);
        const std::vector<float> readerInput(readerNet.inputVolume(), 0.5f);

        ek::VideoSourceSettings settings;
        settings.configure(config.at("sources").at(0));
        settings.uri = video;
        settings.type = "file";
        settings.restart = 0;
        settings.pacing = false;
        settings.plateWidth = {40, 640};  // as the capacity run's sources
        auto source = ek::createVideoSource(settings);
        source->open();

        long frames = 0, plates = 0;
        double detectorForward = 0, readerForward = 0, components = 0;
        std::vector<cv::Mat> outs;
        for (; frames < maxFrames; ++frames) {
            auto frame = source->getFrame();
            if (frame->poison || frame->frame->image.empty()) {
                break;
            }
            double t0 = threadCpuMs();
            detector->prepare(frame);
            detector->infer(frame);
            reader->prepare(frame);
            reader->infer(frame);
            components += threadCpuMs() - t0;
            plates += static_cast<long>(frame->yoloInfo.size());

            int dims[] = {1, 3, input.height, input.width};
            cv::Mat blob(4, dims, CV_32F, cv::Scalar(0.5));
            double t1 = threadCpuMs();
            detectorNet.setInput(blob);
            detectorNet.forward(outs, outputs);
            double t2 = threadCpuMs();
            (void)readerNet.infer(readerInput);
            double t3 = threadCpuMs();
            if (frames > 0) {  // the first forwards warm up
                detectorForward += t2 - t1;
                readerForward += t3 - t2;
            }
        }
        source->stop();
        if (frames < 2) {
            throw std::runtime_error("fewer than two frames in " + video);
        }
        const double n = static_cast<double>(frames);
        const double detMs = detectorForward / (n - 1);
        const double readMs = readerForward / (n - 1);
        const double platesPerFrame = static_cast<double>(plates) / n;
        std::printf("components single-threaded: %.2f ms CPU a frame (%ld frames, %.2f plates a frame)\n",
                    components / n, frames, platesPerFrame);
        std::printf(
            "bare single-threaded forward: detector %.2f ms, reader %.2f ms a plate, %.2f plates a frame: "
            "%.2f ms CPU a frame\n",
            detMs, readMs, platesPerFrame, detMs + platesPerFrame * readMs);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo_frame_cost: %s\n", e.what());
        return 1;
    }
}
