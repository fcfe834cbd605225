#include "src/event_builder/NonTriggeredBuilder.h"

#include <algorithm>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "src/PipelineContext.h"
#include "src/event_builder/FrameTime.h"
#include "src/event_builder/NonTriggeredReport.h"

using nlohmann::json;

namespace {

// More report threads than this at once are worth a Warning (they still start).
constexpr size_t kManyReports = 3;

bool hasEnded(const EventBase& e) {
    return e.processingState == EventBase::Finish || e.processingState == EventBase::Combined ||
           e.processingState == EventBase::Ignored;
}

std::string plateOf(const std::shared_ptr<LPREvent>& reading) {
    return reading ? reading->lpr() : std::string();
}

}  // namespace

NonTriggeredEventBuilder::NonTriggeredEventBuilder(ek::PipelineContext& ctx, const json& config)
    : LpEventBuilder(ctx, config) {
    const BuilderConfig keys(config);
    manyReportsByEvent = keys.flag("manyReportsByEvent", false);
    eventEmitWait = keys.int32("eventEmitWait", 1000);
    if (eventEmitWait < 0) {
        throw BuilderConfig::Error(
            "eventEmitWait",
            "must not be negative, got " + std::to_string(eventEmitWait) + " (builder \"" + name + "\")");
    }
    blurringEnable = keys.flag("blurringEnable", false);
}

NonTriggeredEventBuilder::~NonTriggeredEventBuilder() {
    CommonUtils::cleanupListThreads(futureReports);
    poisonRings();
    for (auto& report : futureReports) {
        report.wait();
    }
}

void NonTriggeredEventBuilder::consume(std::shared_ptr<FrameWithInfo> frame) {
    if (frame->frame->cameraType == CameraType::FACE) {
        return;
    }
    pruneReports();
    const char* builder = name.c_str();
    ILog::Debug("%s: Size of history: %ld", builder, static_cast<long>(history.size()));
    ILog::Debug(
        "%s: guid: %s, lprDetections size of: %ld, yoloInfo size of: %ld, stateDetections size: %ld, "
        "camera: %i",
        builder, frame->frame->guid.c_str(), static_cast<long>(frame->lprDetections.size()),
        static_cast<long>(frame->yoloInfo.size()), static_cast<long>(frame->stateDetections.size()),
        frame->frame->sourceId);
    if (frame->poison) {
        // Open events stay open: the run is ending, and waiting reports must wake.
        poisonRings();
        return;
    }
    const int64_t ts = frame->frame->timestamp;
    ILog::Debug("%s: cam: %i, timestamp: %li, yolo size: %ld", builder, frame->frame->sourceId,
                static_cast<long>(ts), static_cast<long>(frame->yoloDetectionsOverROI.size()));
    feedBack(*frame);
    match(frame, &history, nullptr);
    latestTs_ = seenFrame_ ? std::max(latestTs_, ts) : ts;
    lastTs_ = ts;
    seenFrame_ = true;
    sweep(ts);
}

void NonTriggeredEventBuilder::idle(std::chrono::milliseconds sinceLastFrame) {
    if (!seenFrame_) {
        return;
    }
    pruneReports();
    const int64_t ts = frameTimeAfter(lastTs_, sinceLastFrame.count());
    ILog::Debug("%s: no frame for %ld ms: sweep at %ld", name.c_str(),
                static_cast<long>(sinceLastFrame.count()), static_cast<long>(ts));
    sweep(ts);
}

void NonTriggeredEventBuilder::flush() {
    // Reports must not wait for detections of frames that will never come.
    for (auto& [camera, ring] : rectsBufferByCam) {
        ring.close();
    }
    if (seenFrame_) {
        ILog::Info("%s: input ended: %ld open event(s) are swept as if forgotten", name.c_str(),
                   static_cast<long>(history.size()));
        const int64_t wait = frameTimeAfter(groupSettings().lpForgetInterval, eventEmitWait);
        sweep(frameTimeAfter(latestTs_, frameTimeAfter(wait, 1)));
    }
    waitForReports();
}

std::chrono::milliseconds NonTriggeredEventBuilder::settleTime() const {
    return std::chrono::milliseconds{frameTimeAfter(groupSettings().lpForgetInterval, eventEmitWait)};
}

void NonTriggeredEventBuilder::waitForReports() {
    for (auto& report : futureReports) {
        while (report.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (ctx.stop) {
                return;  // the poison frame wakes them; the destructor waits for them
            }
        }
    }
    pruneReports();
}

void NonTriggeredEventBuilder::pruneReports() {
    const size_t before = futureReports.size();
    const size_t after = CommonUtils::cleanupListThreads(futureReports);
    if (after != before) {
        ILog::Debug("%s: Cleanup reports threads: %ld -> %ld", name.c_str(), static_cast<long>(before),
                    static_cast<long>(after));
    }
}

void NonTriggeredEventBuilder::feedBack(FrameWithInfo& frame) {
    if (frame.status.load(std::memory_order_acquire) != FrameWithInfo::InProccess) {
        return;
    }
    frame.status.store(FrameWithInfo::Processed, std::memory_order_release);
    // The balancer map is filled at loading and only read afterwards.
    const auto queue = ctx.queuesLoadBalancer.find(frame.frame->cameraName);
    if (queue == ctx.queuesLoadBalancer.end() || !queue->second) {
        ILog::Debug("%s: no balancer queue for camera %s: processing time not reported", name.c_str(),
                    frame.frame->cameraName.c_str());
        return;
    }
    queue->second->reportProcessTime(static_cast<double>(frame.processTime));
}

void NonTriggeredEventBuilder::sweep(int64_t ts) {
    for (auto it = history.begin(); it != history.end();) {
        const auto event = std::static_pointer_cast<EventGroup>(*it);  // held for the whole step
        event->update(ts);
        if (event->needReport && ts - event->confirmTimestamp > static_cast<int64_t>(eventEmitWait)) {
            ILog::Debug("%s: Need send report for event ID: %ld", name.c_str(), static_cast<long>(event->id));
            if (manyReportsByEvent || event->reportTimestamp == 0) {
                launchReport(*event);
            }
            event->needReport = false;
        }
        if (hasEnded(*event)) {
            close(*event);
            it = history.erase(it);
        } else {
            ++it;
        }
    }
}

void NonTriggeredEventBuilder::launchReport(EventGroup& e) {
    e.reportTimestamp = CommonUtils::getTs();
    {
        std::lock_guard<std::mutex> lock(e.statistics.mtx);
        e.statistics.durationEvent = e.reportTimestamp - e.createTimestamp;
    }
    const size_t running = CommonUtils::cleanupListThreads(futureReports);
    if (running >= kManyReports) {
        ILog::Warning("%s: Number reports threads: %ld", name.c_str(), static_cast<long>(running));
    } else {
        ILog::Debug("%s: Number reports threads: %ld", name.c_str(), static_cast<long>(running));
    }
    ILog::Debug("META: Run report thread. event id: %li", static_cast<long>(e.id));
    futureReports.push_back(std::async(std::launch::async, [this, copy = EventGroup(e)] {
        try {
            report(copy);
        } catch (const std::exception& failure) {
            ILog::Error("Exception detected in Report thread. message: %s", failure.what());
        } catch (...) {
            ILog::Error("Exception detected in Report thread");
        }
    }));
}

void NonTriggeredEventBuilder::close(EventGroup& e) {
    const char* builder = name.c_str();
    const long id = static_cast<long>(e.id);
    ILog::Debug("%s: Delete %s event from history ID: %ld LP:  %s", builder, e.statusStr().c_str(), id,
                plateOf(e.maxConfidenceLPR()).c_str());
    if (e.reportTimestamp == 0) {
        ILog::Debug("%s: No report event ID: %ld, detections: %ld, number reads: %ld", builder, id,
                    static_cast<long>(e.counterFrames), static_cast<long>(e.histogram.size()));
    }
    ILog::Info("%s: ID: %ld, LP: %s, %s", builder, id, plateOf(EventBase::getBestOnLane(e.lpr())).c_str(),
               e.statistics.get().dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    statistics.push(e.statistics);
}

void NonTriggeredEventBuilder::poisonRings() {
    for (auto& [camera, ring] : rectsBufferByCam) {
        ring.poison();
    }
}

void NonTriggeredEventBuilder::trigger(const QEVATriggerEvent&, const std::vector<int>&) {}

std::string NonTriggeredEventBuilder::getStatString() const {
    return "AvgLatency = " + getStatistics().at("avgLatency").dump() + " ms";
}

json NonTriggeredEventBuilder::getStatistics() const {
    return statistics.get();
}

void NonTriggeredEventBuilder::report(const EventGroup& e) {
    NonTriggeredReport(*this, [this](const QEVAPair& pair) { post(pair); }).run(e);
}

float NonTriggeredEventBuilder::getMotionDirection(const EventGroup& e) {
    return NonTriggeredReport(*this, {}).motionDirection(e);
}
