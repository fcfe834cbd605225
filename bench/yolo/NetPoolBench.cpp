// The pool of networks behind one shared model: N threads forwarding through one shared detector
// (and one shared plate reader) against N threads each with a model loaded for itself, one OpenCV
// thread a forward in both. Frames (plates) per second of both and their ratio, per N.
//
//   net_pool_bench [seconds a run, default 3] [N ..., default 1 2 4 8]
//
// Runs on the demo's models; the reader's engine cache goes to a scratch directory. A driver that
// prints figures.
#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platereader/PlateReaderFactory.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "tests/demo/DemoFiles.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const json& networkOfType(const json& config, const std::string& type) {
    for (const json& network : config.at("networks")) {
        if (network.at("type") == type) {
            return network;
        }
    }
    throw std::runtime_error("the demo configuration has no network of type " + type);
}

// A road-like frame: grey noise with a few bright plate-sized boxes.
cv::Mat roadFrame() {
    cv::Mat image(360, 640, CV_8UC3);
    cv::randu(image, 0, 120);
    for (int x = 40; x + 120 <= image.cols; x += 200) {
        image(cv::Rect(x, 200, 120, 30)).setTo(cv::Scalar::all(230));
    }
    return image;
}

// Calls of `work(thread index)` per second over `threads` threads for `seconds`.
double rate(size_t threads, double seconds, const std::function<void(size_t)>& work) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            long n = 0;
            while (!stop) {
                work(t);
                ++n;
            }
            calls += n;
        });
    }
    auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : pool) {
        t.join();
    }
    return static_cast<double>(calls) / std::chrono::duration<double>(Clock::now() - start).count();
}

struct Model {
    const char* name;
    // Loads one more instance; the first argument tells it how many threads will share it.
    std::function<std::function<void()>(size_t users)> load;
};

}  // namespace

int main(int argc, char** argv) {
    try {
        const double seconds = argc > 1 ? std::stod(argv[1]) : 3.0;
        std::vector<size_t> counts;
        for (int i = 2; i < argc; ++i) {
            counts.push_back(static_cast<size_t>(std::stoul(argv[i])));
        }
        if (counts.empty()) {
            counts = {1, 2, 4, 8};
        }
        cv::setNumThreads(1);
        const json config = demo_files::demoConfig();
        json detectorModel = networkOfType(config, "yolo").at("model");
        json readerNetwork = networkOfType(config, "PlateReaderV3Colored");
        const std::string modelDir = demo_files::sourcePath("demo/models");
        detectorModel["definition"]["path"] = modelDir;
        readerNetwork["model"]["definition"]["path"] = modelDir;
        const auto scratch = std::filesystem::temp_directory_path() / "net_pool_bench";
        std::filesystem::create_directories(scratch);
        std::filesystem::current_path(scratch);
        const cv::Mat frame = roadFrame();
        cv::Mat plate(40, 160, CV_8UC3);
        cv::randu(plate, 0, 255);

        const std::vector<Model> models = {
            {"detector",
             [&](size_t users) -> std::function<void()> {
                 auto d = std::make_shared<MultisizeYoloDetector>(MultisizeYoloDetector::load(detectorModel));
                 d->setUsers(users);
                 auto input = std::make_shared<std::vector<float>>(d->prepare(frame));
                 return [d, input, size = frame.size()] { (void)d->infer(*input, size); };
             }},
            {"reader",
             [&](size_t users) -> std::function<void()> {
                 auto r = createPlateReader(readerNetwork, false, 1);
                 r->setUsers(users);
                 std::vector<LPRDetection> dets(1);
                 dets[0].plate = plate;
                 r->prepare(dets);
                 auto prepared = dets[0].prepared;
                 return [r, prepared] {
                     std::vector<LPRDetection> one(1);
                     one[0].prepared = prepared;
                     r->read(one, nullptr);
                 };
             }},
        };
        std::printf("%-8s %3s %14s %14s %7s\n", "model", "N", "shared (1/s)", "separate (1/s)", "ratio");
        for (const auto& model : models) {
            for (size_t n : counts) {
                auto sharedCall = model.load(n);
                std::vector<std::function<void()>> separate;
                for (size_t t = 0; t < n; ++t) {
                    separate.push_back(model.load(1));
                }
                // Each thread's pool network is made on its first call: one untimed round first.
                rate(n, 0.2, [&](size_t) { sharedCall(); });
                const double separateRate = rate(n, seconds, [&](size_t t) { separate[t](); });
                const double sharedRate = rate(n, seconds, [&](size_t) { sharedCall(); });
                std::printf("%-8s %3zu %14.1f %14.1f %7.3f\n", model.name, n, sharedRate, separateRate,
                            sharedRate / separateRate);
                std::fflush(stdout);
            }
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "net_pool_bench: %s\n", e.what());
        return 1;
    }
}
