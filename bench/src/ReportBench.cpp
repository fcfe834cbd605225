// The report path of the non-triggered builder for one event, step by step: assembling the QEVA
// event (the plate detection with its 1080p frame copy and crop, the image metadata file), a 10 s
// clip of the 1080p benchmark clip (the packets, the wait for the detection ring's entries, the
// clip metadata, the MP4 and the ".rects" file) and handing the event to a poster queue. The wait
// in the ring's rects() is shown apart from the work.
//
//   report_bench [rounds] [lag ms]
//
// Two cases per round: the ring already holds every frame of the clip when the report starts, and
// the frames of the clip's last `lag` ms (default 200) are still in the networks: they reach the
// ring at 25 fps while the report runs. Baselines in the same run: the whole
// NonTriggeredReport::run of the same event (it must cost what its steps cost) and `ffmpeg -c copy`
// of the same 10 s, as in clip_writer_bench. Medians of the rounds (with their range), in ms.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/src/BenchClip.h"
#include "src/event_builder/ClipWriter.h"
#include "src/event_builder/NonTriggeredReport.h"
#include "tests/src/event_builder/nontriggered/NtFixtures.h"

namespace {

using bench_clip::Clock;
using nlohmann::json;

constexpr int64_t kBase = 1700000000000;  // the packet clock of the first clip frame
constexpr int kCorrectionTs = 0;
constexpr int64_t kFrameMs = 40;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Step name -> one duration per round.
using Timings = std::map<std::string, std::vector<double>>;

// One report's world: a lane with one recording camera that buffers the clip's packets, a started
// builder whose ring is filled up to `lagFrames` before the clip's end, and an event with 25 plate
// readings on 1080p frames.
class ReportSetup {
  public:
    ReportSetup(const std::vector<std::shared_ptr<Packet>>& packets, size_t lagFrames) {
        camera = &lane.addCamera<nt::RecordingSource>(1);
        camera->settings.recordEnable = true;
        camera->settings.recordTimeBeforeEvent = 2000;
        camera->settings.recordTimeAfterEvent = 8000;
        camera->settings.pathToSaveVideo = (lane.dir.path() / "clips").string() + "/";
        camera->settings.roi = {0, 0, 1000, 0, 1000, 1000, 0, 1000};
        camera->correctionTs = kCorrectionTs;
        camera->packets = packets;
        camera->bufferFrames = 2 * packets.size();
        builder = std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig());
        builder->start();

        for (const auto& packet : packets) {
            frameTimes.push_back(packet->timestamp - kCorrectionTs);
        }
        std::sort(frameTimes.begin(), frameTimes.end());
        // One entry beyond the clip ends every rects() wait.
        frameTimes.push_back(frameTimes.back() + kFrameMs);
        // Lagging frames are followed by that last entry; without a lag everything is there.
        const size_t missing = lagFrames == 0 ? 0 : std::min(frameTimes.size(), lagFrames + 1);
        const size_t ready = frameTimes.size() - missing;
        for (size_t i = 0; i < ready; ++i) {
            pushEntry(i);
        }
        nextEntry = ready;
        makeEvent();
    }

    // Pushes the entries still missing, one a frame interval, as the builder's worker would.
    void feedRemaining() {
        for (; nextEntry < frameTimes.size(); ++nextEntry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
            pushEntry(nextEntry);
        }
    }

    nt::Lane lane;
    nt::RecordingSource* camera = nullptr;
    std::unique_ptr<NonTriggeredEventBuilder> builder;
    std::unique_ptr<EventGroup> event;

  private:
    void pushEntry(size_t i) {
        std::vector<Detection> detections(4);
        for (size_t k = 0; k < detections.size(); ++k) {
            detections[k].yolo.id = k;
            detections[k].yolo.left = static_cast<int>(200 * k);
            detections[k].yolo.top = 500;
            detections[k].yolo.width = 300;
            detections[k].yolo.height = 200;
            detections[k].yolo.className = k == 0 ? "plate" : "car";
            detections[k].idEvent = k == 0 ? 1 : 0;
            detections[k].foundEvent = k == 0;
        }
        builder->rings().at(1).push({frameTimes[i], std::move(detections)});
    }

    void makeEvent() {
        event = std::make_unique<EventGroup>(&builder->groupSettings());
        const cv::Mat image(1080, 1920, CV_8UC3, cv::Scalar(40, 90, 140));
        for (int i = 0; i < 25; ++i) {
            auto frame = nt::frameOf(1, kBase + 2000 + i * kFrameMs,
                                     {nt::Plate{"AB0C12", 0.8f + 0.004f * static_cast<float>(i),
                                                cv::Rect(800 + 4 * i, 700, 160 + i, 40), 1}});
            frame->frame->image = image;  // shared: the report copies the frames it keeps
            YoloObjectInfo car;
            car.id = 0;
            car.left = 700;
            car.top = 400;
            car.width = 500;
            car.height = 400;
            car.className = "car";
            frame->yoloDetectionsOverROI.insert(frame->yoloDetectionsOverROI.begin(), car);
            std::vector<const LPRDetection*> readings;
            for (const auto& reading : frame->lprDetections) {
                readings.push_back(&reading);
            }
            event->appendLPRs(frame, readings, nullptr);
        }
    }

    std::vector<int64_t> frameTimes;
    size_t nextEntry = 0;
};

// The report's steps as NonTriggeredReport::run takes them, each timed.
void timeSteps(ReportSetup& setup, Timings& timings) {
    NonTriggeredEventBuilder& builder = *setup.builder;
    const EventGroup& e = *setup.event;
    auto& camera = *setup.camera;
    const auto start = Clock::now();
    std::thread feeder([&setup] { setup.feedRemaining(); });

    auto t = Clock::now();
    const NonTriggeredReport report(builder, {});
    QEVAEvent event = report.assemble(e);
    timings["1 assemble (plate, frame copy, crop, image metadata)"].push_back(ms(Clock::now() - t));

    t = Clock::now();
    const int64_t from = e.firstFrameTimestamp - camera.settings.recordTimeBeforeEvent;
    const int64_t to = e.firstFrameTimestamp + camera.settings.recordTimeAfterEvent;
    const ClipWriter clip(camera.getEncodedFrames(from, to));
    timings["2 clip packets"].push_back(ms(Clock::now() - t));

    t = Clock::now();
    const auto rects = builder.rings().at(1).rects(clip.firstTimestamp() - camera.correctionTs,
                                                   clip.lastTimestamp() - camera.correctionTs);
    timings["3 wait for the ring's frames (rects)"].push_back(ms(Clock::now() - t));

    t = Clock::now();
    uint64_t notFound = 0;
    const json metadata =
        NonTriggeredReport::clipMetadata(e.id, clip.frameTimestamps(), rects, camera.correctionTs, notFound);
    if (notFound != 0) {
        throw std::runtime_error("the ring misses " + std::to_string(notFound) + " clip frames");
    }
    timings["4 clip metadata"].push_back(ms(Clock::now() - t));

    const std::string guid = CommonUtils::genGuid();
    const std::string prefix = camera.settings.pathToSaveVideo + guid;
    {
        std::lock_guard<std::mutex> disk(LpEventBuilder::accessToDisk);
        t = Clock::now();
        clip.write(prefix + ".mp4");
        timings["5 clip file (10 s, stream copy)"].push_back(ms(Clock::now() - t));
        t = Clock::now();
        std::string error;
        if (!NonTriggeredReport::writeJsonFile(prefix + ".rects", metadata, error)) {
            throw std::runtime_error("cannot write the clip metadata: " + error);
        }
        timings["6 clip metadata file"].push_back(ms(Clock::now() - t));
    }
    event.videos[1] = guid;

    t = Clock::now();
    setup.lane.sink->push(QEVAPair(std::make_unique<QEVAEvent>(std::move(event)), nullptr));
    timings["7 hand to the poster queue"].push_back(ms(Clock::now() - t));
    const double total = ms(Clock::now() - start);
    feeder.join();
    const double wait = timings["3 wait for the ring's frames (rects)"].back();
    timings["total"].push_back(total);
    timings["total without the wait"].push_back(total - wait);
    setup.lane.sink->pop();
}

// The whole report in one call, as a report thread runs it.
double timeRun(ReportSetup& setup) {
    std::thread feeder([&setup] { setup.feedRemaining(); });
    const auto t = Clock::now();
    NonTriggeredReport(*setup.builder, [&setup](const QEVAPair& pair) {
        setup.lane.sink->push(pair);
    }).run(*setup.event);
    const double took = ms(Clock::now() - t);
    feeder.join();
    if (setup.lane.sink->size() != 1) {
        throw std::runtime_error("the report posted nothing");
    }
    setup.lane.sink->pop();
    return took;
}

void print(const char* title, const Timings& timings, double run) {
    std::printf("%s\n", title);
    for (const auto& [step, values] : timings) {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        std::printf("  %-55s %9.2f  (%.2f-%.2f)\n", step.c_str(), bench_clip::median(values), *low, *high);
    }
    std::printf("  %-55s %9.2f\n", "NonTriggeredReport::run, whole (baseline)", run);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
        const int lagMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 200;
        const size_t lagFrames = static_cast<size_t>(lagMs / kFrameMs);
        const std::string clipPath = benchClip1080p();
        const auto packets = bench_clip::readFirstSeconds(clipPath, kBase + kCorrectionTs);

        Timings ready, lagging;
        std::vector<double> runReady, runLagging, ffmpeg;
        for (int round = 0; round < rounds; ++round) {
            {
                ReportSetup setup(packets, 0);
                timeSteps(setup, ready);
                runReady.push_back(timeRun(setup));
            }
            {
                ReportSetup setup(packets, lagFrames);
                timeSteps(setup, lagging);
            }
            {
                ReportSetup setup(packets, lagFrames);
                runLagging.push_back(timeRun(setup));
            }
            const auto out = std::filesystem::temp_directory_path() /
                             ("report_bench_" + std::to_string(::getpid()) + ".mp4");
            const auto t = Clock::now();
            if (std::system(bench_clip::copyCommand(clipPath, packets.size(), out.string()).c_str()) != 0) {
                throw std::runtime_error("ffmpeg failed");
            }
            ffmpeg.push_back(ms(Clock::now() - t));
            std::filesystem::remove(out);
        }

        std::printf(
            "report of one event, clip of %zu packets (10 s, 1920x1080) of %s; %d rounds, medians in ms\n",
            packets.size(), clipPath.c_str(), rounds);
        print("the ring holds the clip's frames when the report starts:", ready,
              bench_clip::median(runReady));
        char title[128];
        std::snprintf(title, sizeof(title),
                      "the clip's last %d ms of frames reach the ring while the report runs:", lagMs);
        print(title, lagging, bench_clip::median(runLagging));
        const double work = bench_clip::median(ready["total without the wait"]);
        const double copy = bench_clip::median(ffmpeg);
        std::printf(
            "ffmpeg -c copy of the same 10 s (process included): %.2f ms; report work / ffmpeg = %.2f\n",
            copy, work / copy);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "report_bench: %s\n", e.what());
        return 1;
    }
}
