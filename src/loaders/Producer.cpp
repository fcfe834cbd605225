#include "src/loaders/Producer.h"

#include <exception>
#include <string>
#include <thread>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/UriMask.h"

namespace ek {
namespace {

constexpr auto kAfterEndOfStream = std::chrono::seconds(1);
constexpr auto kBeforeReconnect = std::chrono::seconds(2);

int64_t wholeMs(std::chrono::system_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

bool servesTriggers(EventBuilderMode mode) {
    return mode == EventBuilderMode::Triggered || mode == EventBuilderMode::NonTriggeredWithTrigger;
}

}  // namespace

Producer::Producer(PipelineContext& ctx, size_t index)
    : ctx_(ctx), source_(ctx.getVideoSource(index)), name_(source_.settings.name) {}

void Producer::run() {
    start_ = WallClock::now();
    lastSnapshot_ = start_;
    ILog::Info("Starting producer %s", name_.c_str());
    findRoutes();
    // A drain (another file has ended) reopens nothing: the service is about to stop.
    while (!ctx_.stop && !ctx_.draining()) {
        readStream();
        if (source_.settings.restart == 0 || ctx_.stop || ctx_.draining()) {
            break;
        }
        ctx_.setStatus(name_, "stopped");
        clearLastFrame();
        ILog::Info("Sleep a bit before reconnect to %s",
                   UriMask::hideCredentials(source_.settings.uri).c_str());
        std::this_thread::sleep_for(kBeforeReconnect);
    }
    endsTheRun();
    ILog::Info("stopped producer %s", name_.c_str());
}

void Producer::endsTheRun() {
    // The end of a file that does not restart ends the run: main drains what was read, then
    // stops in order. During a stop or a drain a file source ends like any other.
    if (source_.isFile() && source_.settings.restart == 0 && !ctx_.stop && ctx_.requestDrain()) {
        ILog::Info("File source %s has ended: draining the pipeline, then stopping", name_.c_str());
    }
}

void Producer::findRoutes() {
    const auto mode = source_.settings.processingMode;
    std::string builder;
    {
        std::lock_guard<std::mutex> guard(ctx_.lock);
        stats_ = std::make_shared<ProducerStatistics>();
        ctx_.producersStats[name_] = stats_;
        // Frames of a triggered source go straight to the builder that takes the lane's triggers.
        for (const auto& [builderName, eb] : ctx_.eventBuilders) {
            if (eb->laneId() == source_.settings.laneId &&
                (mode != VideoProcessingMode::Triggered || servesTriggers(eb->mode()))) {
                builder = builderName;
                break;
            }
        }
    }
    if (builder.empty()) {
        ILog::Error("EventBuilder for camera %s not found", name_.c_str());
    }
    if (mode == VideoProcessingMode::Triggered) {
        const auto queue = ctx_.queues.find(builder);
        if (queue != ctx_.queues.end()) {
            builderQueue_ = queue->second;
        }
    } else if (mode == VideoProcessingMode::NonTriggered || mode == VideoProcessingMode::Hybrid ||
               mode == VideoProcessingMode::NonTriggeredWithTrigger) {
        const auto queue = ctx_.queuesLoadBalancer.find(name_);
        if (queue != ctx_.queuesLoadBalancer.end()) {
            balancer_ = queue->second;
        } else {
            ILog::Error("Producer %s: no balancer queue %s, frames are not routed", name_.c_str(),
                        name_.c_str());
        }
    }
}

void Producer::readStream() {
    try {
        ctx_.setStatus(name_, "opening");
        ILog::Debug("cap.run()");
        source_.open();
        ctx_.setStatus(name_, "working");
        // A stop that came while the source was opening: open has reset the source, so only
        // the flag tells us to leave.
        while (!ctx_.stop && handle(source_.getFrame())) {
        }
    } catch (const std::exception& e) {
        ILog::Error("Producer %s: %s; the stream counts as ended", name_.c_str(),
                    UriMask::hideCredentials(e.what()).c_str());
        clearLastFrame();
        source_.stop();
    }
}

bool Producer::handle(const FrameWithInfoPtr& frame) {
    snapshotIfDue(*frame);
    updateLatency(*frame);
    if (frame->poison) {
        return false;
    }
    if (frame->frame->image.cols == 0) {
        ILog::Info("End of stream: %s, retry after 1 sec",
                   UriMask::hideCredentials(source_.settings.uri).c_str());
        // Before the source goes offline: reports under way then still take its readings.
        endsTheRun();
        clearLastFrame();
        source_.stop();
        std::this_thread::sleep_for(kAfterEndOfStream);
        return false;
    }
    setLastFrame(frame);
    ILog::Debug("Producer: camera: %s, guid: %s, timestamp: %ld", name_.c_str(), frame->frame->guid.c_str(),
                static_cast<long>(frame->frame->timestamp));
    route(frame);
    return true;
}

void Producer::snapshotIfDue(const FrameWithInfo& frame) {
    const auto now = WallClock::now();
    const int64_t elapsed = wholeMs(now - start_);
    if (!(elapsed > ctx_.startSaveFrames && elapsed - ctx_.startSaveFrames < ctx_.durationSaveFrames &&
          wholeMs(now - lastSnapshot_) > ctx_.periodSaveFrames)) {
        return;
    }
    // Poison and end-of-stream frames have no picture to save.
    if (frame.frame->image.empty()) {
        return;
    }
    const std::string path =
        source_.settings.pathToSaveVideo + std::to_string(frame.frame->timestamp) + ".jpg";
    try {
        const auto copy = frame.frame->copy();
        encoder_.imwrite(path, copy->image);
        ILog::Info("Save image: %s", path.c_str());
    } catch (const std::exception& e) {
        ILog::Warning("Producer %s: snapshot %s not saved: %s", name_.c_str(), path.c_str(), e.what());
    }
    lastSnapshot_ = now;
}

void Producer::updateLatency(const FrameWithInfo& frame) {
    const int64_t age = CommonUtils::getTs() - frame.frame->timestamp;
    stats_->avgLatency.store((stats_->avgLatency.load() * 9 + age) / 10);
}

void Producer::route(const FrameWithInfoPtr& frame) {
    if (balancer_) {
        ctx_.frameQueued();
        balancer_->push(frame);
    } else if (builderQueue_) {
        ctx_.frameQueued();
        builderQueue_->push(frame);
    }
}

void Producer::setLastFrame(const FrameWithInfoPtr& frame) {
    std::lock_guard<std::mutex> guard(ctx_.lock);
    ctx_.lastFrame[name_] = frame;
}

void Producer::clearLastFrame() {
    std::lock_guard<std::mutex> guard(ctx_.lock);
    ctx_.lastFrame.erase(name_);
}

}  // namespace ek
