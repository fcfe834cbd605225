#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/balance_queue.h"
#include "qo_common/utils/blocking_queue.h"
#include "src/PipelineContext.h"
#include "src/event_builder/IEventBuilderComponent.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/support/TempDir.h"

// What the triggered builder tests share: a lane with cameras and their "_triggered" queues, frames
// with plate readings, and an echo of the networks that sends claimed frames back to the builder's
// worker with the capacities of the real pipeline.
namespace tr {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int64_t kStep = 40;  // ms between frames of one camera

// One plate reading on its own YOLO object.
struct Plate {
    std::string text;
    float confidence = 0.9f;
    cv::Rect box{40, 100, 64, 16};
};

// The networks mark the pixel at (0, 0) of every frame they process: a report that copies a frame
// before its networks are done shows it unmarked.
inline void markProcessed(FrameWithInfo& f) {
    f.frame->image.at<cv::Vec3b>(0, 0)[0] = 255;
}

inline bool isMarked(const ek::pipeline::Frame& f) {
    return f.image.at<cv::Vec3b>(0, 0)[0] == 255;
}

inline void addPlates(FrameWithInfo& f, const std::vector<Plate>& plates) {
    for (const auto& p : plates) {
        YoloObjectInfo o;
        o.id = f.yoloDetectionsOverROI.size();
        o.left = p.box.x;
        o.top = p.box.y;
        o.width = p.box.width;
        o.height = p.box.height;
        o.className = "plate";
        f.yoloDetectionsOverROI.push_back(o);
        LPRDetection d;
        d.value = p.text;
        d.confidence = p.confidence;
        d.idYoloInfo = o.id;
        d.r = p.box;
        f.lprDetections.push_back(d);
    }
}

// Frame `index` of camera `camera`, at base + index * kStep; its guid sorts in frame order.
inline std::shared_ptr<FrameWithInfo> frameOf(int camera, int64_t base, int index,
                                              const std::vector<Plate>& plates = {}) {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame->image = cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, 0, 0));
    char guid[48];
    std::snprintf(guid, sizeof(guid), "c%d-%08d", camera, index);
    f->frame->guid = guid;
    f->frame->sourceId = camera;
    f->frame->cameraName = "cam" + std::to_string(camera);
    f->frame->cameraType = CameraType::LPR;
    f->frame->timestamp = base + index * kStep;
    addPlates(*f, plates);
    return f;
}

// A frame that has already been through the networks (as in a lane of the builder with both modes).
inline std::shared_ptr<FrameWithInfo> processedFrameOf(int camera, int64_t base, int index,
                                                       const std::vector<Plate>& plates = {}) {
    auto f = frameOf(camera, base, index, plates);
    markProcessed(*f);
    f->status = FrameWithInfo::Processed;
    return f;
}

inline QEVATriggerEvent triggerAt(int64_t id, int64_t ts, int64_t laneId = 1) {
    QEVATriggerEvent te;
    te.triggerId = id;
    te.triggerTimestamp = ts;
    te.laneId = laneId;
    te.triggerGuid = "guid-" + std::to_string(id);
    te.triggerName = "gate";
    return te;
}

// A context with a capturing event queue "sink", a plate catalog and the lane's cameras.
class Lane {
  public:
    Lane() : ctx(json{{"webserver", {{"port", 0}}}}) {
        sink = ctx.addEventQueue("sink", 100000);
        catalogPath = dir.file("plate_catalog.json");
        // State T1: two letters, the letter O, a letter, two digits: "AB0C12" becomes "ABOC12".
        std::ofstream(catalogPath)
            << R"({"list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{2}O[A-Z][0-9]{2}"}]})";
    }

    // A lane camera in processing mode `mode` with its "_triggered" queue when the mode has one.
    FakeVideoSource& addCamera(int id, int pre, int post,
                               ek::VideoProcessingMode mode = ek::VideoProcessingMode::Triggered,
                               int laneId = 1) {
        auto source = std::make_unique<FakeVideoSource>("cam" + std::to_string(id), id, laneId);
        source->settings.pre = pre;
        source->settings.post = post;
        source->settings.processingMode = mode;
        FakeVideoSource& ref = *source;
        ctx.addVideoSource(std::move(source));
        if (mode == ek::VideoProcessingMode::Triggered ||
            mode == ek::VideoProcessingMode::NonTriggeredWithTrigger) {
            ctx.queuesLoadBalancer["cam" + std::to_string(id) + "_triggered"] =
                std::make_shared<balance_queue>(10, true);
        }
        return ref;
    }

    json config(const json& extra = json::object()) const {
        json c = {{"name", "tr"},
                  {"destinations", {"sink"}},
                  {"laneId", 1},
                  {"plateCatalogPath", catalogPath},
                  {"includeAllImages", true},
                  {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
        c.merge_patch(extra);
        return c;
    }

    // Waits (a guard against a hang, never a measure) until `n` events are queued, then takes them.
    std::vector<QEVAPair> takeEvents(size_t n, std::chrono::seconds guard = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (sink->size() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        std::vector<QEVAPair> events;
        while (events.size() < n && sink->size() > 0) {
            events.push_back(sink->pop());
        }
        return events;
    }

    TempDir dir;
    ek::PipelineContext ctx;
    std::shared_ptr<ek::PipelineContext::EventQueue> sink;
    std::string catalogPath;
};

// The road of a claimed frame with the real capacities: each "<camera>_triggered" queue (10) ->
// its balancer thread -> the network queue (3) -> the network thread, which marks the frame, adds
// the readings of `read` and sets InProccess as a prepare step does -> the builder's queue (2) ->
// the worker thread -> consume(). Frames of a camera in mode Triggered enter through feed(), the
// way its producer pushes them into the builder's queue.
class Echo {
  public:
    using Reader = std::function<void(FrameWithInfo&)>;
    using FrameQueue = blocking_queue<std::shared_ptr<FrameWithInfo>>;

    Echo(Lane& lane, IEventBuilderComponent& builder, Reader read = {})
        : builderQueue(std::make_shared<FrameQueue>(2)), read_(std::move(read)) {
        for (const auto& [name, queue] : lane.ctx.queuesLoadBalancer) {
            balancers_.emplace_back([this, q = queue] { balance(*q); });
            claimQueues_.push_back(queue);
        }
        network_ = std::thread([this] { infer(); });
        worker_ = std::thread([this, &builder] { work(builder); });
    }
    ~Echo() { stop(); }

    void feed(const std::shared_ptr<FrameWithInfo>& frame) { builderQueue->push(frame); }

    // Holds the network until open(): claimed frames stay on their way.
    void close() {
        std::lock_guard<std::mutex> lock(gateMutex_);
        gateOpen_ = false;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(gateMutex_);
            gateOpen_ = true;
        }
        gate_.notify_all();
    }
    // Frames with these guids vanish in the network, as if a stage lost them.
    void lose(const std::string& guid) {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_.insert(guid);
    }
    // How often each frame went through the network.
    std::map<std::string, int> passes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return passes_;
    }
    // Waits until the worker has consumed everything fed so far.
    void drain() {
        auto marker = std::make_shared<FrameWithInfo>();
        marker->frame->sourceId = -1;
        marker->frame->guid = "drain";
        drained_ = false;
        feed(marker);
        std::unique_lock<std::mutex> lock(mutex_);
        drainedCv_.wait_for(lock, 30s, [this] { return drained_.load(); });
    }

    void stop() {
        if (stopped_) {
            return;
        }
        stopped_ = true;
        open();
        for (auto& q : claimQueues_) {
            q->poison(FrameWithInfo::makePoison());
        }
        for (auto& t : balancers_) {
            t.join();
        }
        networkQueue_.poison(FrameWithInfo::makePoison());
        // The worker may have ended already (a poison frame fed by the test): the network's push
        // into the builder's queue must not wait for it.
        builderQueue->poison(FrameWithInfo::makePoison());
        network_.join();
        worker_.join();
    }

    std::shared_ptr<FrameQueue> builderQueue;

  private:
    void balance(balance_queue& queue) {
        for (;;) {
            auto frame = queue.pop();
            if (frame->poison) {
                return;
            }
            networkQueue_.push(frame);
        }
    }

    void infer() {
        for (;;) {
            auto frame = networkQueue_.pop();
            if (frame->poison) {
                return;
            }
            {
                std::unique_lock<std::mutex> lock(gateMutex_);
                gate_.wait(lock, [this] { return gateOpen_; });
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++passes_[frame->frame->guid];
                if (lost_.count(frame->frame->guid) > 0) {
                    continue;
                }
            }
            frame->status = FrameWithInfo::InProccess;
            if (frame->lprDetections.empty() && read_) {
                read_(*frame);
            }
            markProcessed(*frame);
            builderQueue->push(frame);
        }
    }

    void work(IEventBuilderComponent& builder) {
        for (;;) {
            auto frame = builderQueue->pop();
            if (frame->frame->guid == "drain") {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    drained_ = true;
                }
                drainedCv_.notify_all();
                continue;
            }
            builder.consume(frame);
            if (frame->poison) {
                return;
            }
        }
    }

    Reader read_;
    FrameQueue networkQueue_{3};
    std::vector<std::shared_ptr<balance_queue>> claimQueues_;
    std::vector<std::thread> balancers_;
    std::thread network_;
    std::thread worker_;
    mutable std::mutex mutex_;
    std::map<std::string, int> passes_;
    std::set<std::string> lost_;
    std::atomic<bool> drained_{false};
    std::condition_variable drainedCv_;
    std::mutex gateMutex_;
    std::condition_variable gate_;
    bool gateOpen_ = true;
    bool stopped_ = false;
};

}  // namespace tr
