#include "src/event_builder/TriggeredBuilder.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <set>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "src/PipelineContext.h"

using nlohmann::json;

namespace {

constexpr int64_t kMaxBufferSize = 10000;

bool feedsTriggeredBuilders(EventBuilderMode mode) {
    return mode == EventBuilderMode::Triggered || mode == EventBuilderMode::NonTriggeredWithTrigger;
}

// Removes a registered event again unless the creation got through.
class Registration {
  public:
    explicit Registration(std::function<void()> undo) : undo_(std::move(undo)) {}
    ~Registration() {
        if (undo_) {
            undo_();
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    void keep() { undo_ = nullptr; }

  private:
    std::function<void()> undo_;
};

}  // namespace

TriggeredEventBuilder::TriggeredEventBuilder(ek::PipelineContext& ctx, const json& config)
    : TriggeredEventBuilder(ctx, config, Timing{}) {}

TriggeredEventBuilder::TriggeredEventBuilder(ek::PipelineContext& ctx, const json& config, Timing timing)
    : LpEventBuilder(ctx, config), timing_(timing) {
    if (!timing_.now) {
        timing_.now = [] { return TriggeredEvent::Clock::now(); };
    }
    const BuilderConfig keys(config);
    const int64_t size = keys.integer("bufferSize", 50);
    if (size < 1 || size > kMaxBufferSize) {
        throw BuilderConfig::Error("bufferSize", "must be from 1 to " + std::to_string(kMaxBufferSize) +
                                                     " frames, got " + std::to_string(size) + " (builder \"" +
                                                     name + "\")");
    }
    frameBufferSize = static_cast<uint64_t>(size);
    settings.includeAllLpr = keys.flag("includeAllLprResults", false);
    settings.includeAllImages = keys.flag("includeAllImages", false);
}

TriggeredEventBuilder::~TriggeredEventBuilder() {
    poisonRings();
}

void TriggeredEventBuilder::start() {
    LpEventBuilder::start();
    for (const auto& [id, camera] : sources) {
        buffer.try_emplace(id, frameBufferSize, timing_.ring);
        ILog::Debug("%s, Create buffer (%ld frames) for camera: %s", name.c_str(),
                    static_cast<long>(frameBufferSize), camera->settings.name.c_str());
        checkCamera(*camera);
    }
}

void TriggeredEventBuilder::checkCamera(const ek::IVideoSource& camera) {
    const auto& s = camera.settings;
    const char* builder = name.c_str();
    const int mode = static_cast<int>(s.processingMode);
    if (mode < 0 || mode > 3) {
        ILog::Warning(
            "%s: camera %s has processingMode %i, which routes no frames: triggers get none of its frames",
            builder, s.name.c_str(), mode);
    } else if (s.processingMode == ek::VideoProcessingMode::Triggered) {
        // Its producer feeds the first builder of the lane that takes triggers.
        for (const auto& [other, eb] : ctx.eventBuilders) {
            if (eb && eb->laneId() == s.laneId && feedsTriggeredBuilders(eb->mode())) {
                if (other != name) {
                    ILog::Warning(
                        "%s: camera %s sends its frames to builder %s: triggers get none of its frames",
                        builder, s.name.c_str(), other.c_str());
                }
                break;
            }
        }
    }
    const std::string queueName = s.name + "_triggered";
    const auto queue = ctx.queuesLoadBalancer.find(queueName);
    claimQueues_[s.id] = queue != ctx.queuesLoadBalancer.end() ? queue->second : nullptr;
    if (!claimQueues_[s.id]) {
        ILog::Warning(
            "%s: camera %s has no balancer queue %s (processingMode %i): its frames are counted as they "
            "come, "
            "never sent through the networks for a trigger",
            builder, s.name.c_str(), queueName.c_str(), mode);
    }
    if (s.pre >= 0 && static_cast<uint64_t>(s.pre) >= frameBufferSize) {
        ILog::Warning(
            "%s: camera %s has pre %i but bufferSize is %ld: the ring cannot hold the frames before a "
            "trigger "
            "and its delivery delay",
            builder, s.name.c_str(), s.pre, static_cast<long>(frameBufferSize));
    }
}

void TriggeredEventBuilder::consume(std::shared_ptr<FrameWithInfo> frame) {
    {
        std::lock_guard<std::mutex> lock(eventHistoryMutex);
        ILog::Debug("%s: eventHistory size: %ld", name.c_str(), static_cast<long>(eventHistory.size()));
    }
    if (frame->poison) {
        // Drops the pending events before waking the collections that wait for frames: woken
        // first, a collection would report its event over the frames it has.
        dropPending();
        poisonRings();
        return;
    }
    if (frame->triggerIds.size() > 0) {
        countReturned(frame);
    } else {
        keep(frame);
    }
    reapOverdue();
}

void TriggeredEventBuilder::countReturned(const FramePtr& frame) {
    // Stored before the ids are copied: a trigger thread appends its id before it reads the
    // status, so either it sees Processed and counts the frame itself, or its id is in the copy.
    frame->status.store(FrameWithInfo::Processed);
    std::set<int64_t> seen;
    for (const int64_t id : frame->triggerIds.get()) {
        if (!seen.insert(id).second) {
            continue;
        }
        const auto event = find(id);
        if (!event) {
            continue;
        }
        event->update(frame);
        completeIfDue(event);
    }
}

void TriggeredEventBuilder::keep(const FramePtr& frame) {
    // A frame that passed the networks without a builder marking it (e.g. FACE frames beside the
    // non-triggered half) is done: left InProccess, no trigger could ever count it.
    auto inProcess = FrameWithInfo::InProccess;
    frame->status.compare_exchange_strong(inProcess, FrameWithInfo::Processed);
    const auto ring = buffer.find(frame->frame->sourceId);
    if (ring == buffer.end()) {
        ILog::Debug("%s: camera %i has no frame ring (not a lane camera): frame %s not kept", name.c_str(),
                    frame->frame->sourceId, frame->frame->guid.c_str());
        return;
    }
    ring->second.push(frame);
}

void TriggeredEventBuilder::trigger(const QEVATriggerEvent& te, const std::vector<int>& cameraIds) {
    if (te.poison) {
        return;
    }
    reapOverdue();
    {
        std::lock_guard<std::mutex> lock(eventHistoryMutex);
        if (eventHistory.count(te.triggerId) > 0) {
            ++ctx.triggerStats.droppedDuplicate;
            return;
        }
    }
    ILog::Debug("Income trigger %li", static_cast<long>(te.triggerId));
    create(te, cameraIds);
}

void TriggeredEventBuilder::create(const QEVATriggerEvent& te, const std::vector<int>& cameraIds) {
    const auto event = std::make_shared<TriggeredEvent>(te);
    {
        std::lock_guard<std::mutex> lock(eventHistoryMutex);
        const auto [held, inserted] = eventHistory.try_emplace(te.triggerId, event);
        if (!inserted) {
            ++ctx.triggerStats.droppedDuplicate;
            ILog::Warning("Income dublicate trigger %ld, skip it. Event %ld already created",
                          static_cast<long>(te.triggerId), static_cast<long>(held->second->id));
            return;
        }
    }
    // An exception below (a log line that cannot be formatted, a failing push) must not leave the
    // id blocked for ever.
    Registration registration([&] { erase(event); });
    ILog::Debug("Creating event %ld by trigger %ld", static_cast<long>(event->id),
                static_cast<long>(te.triggerId));
    // Every camera's pre frames before any camera's post frames.
    auto pre = collect(te, cameraIds, false);
    auto post = collect(te, cameraIds, true);
    if (!event->startProcessing(pre, post)) {
        ILog::Debug("%s: event %ld by trigger %ld was dropped at the stop", name.c_str(),
                    static_cast<long>(event->id), static_cast<long>(te.triggerId));
        return;
    }
    dispatch(*event, pre, post);
    event->setReturnDeadline(timing_.now() + timing_.returnBound);
    registration.keep();
    ILog::Info("event %ld by trigger %ld is created", static_cast<long>(event->id),
               static_cast<long>(te.triggerId));
    completeIfDue(event);
}

TriggeredEvent::FramesByCamera TriggeredEventBuilder::collect(const QEVATriggerEvent& te,
                                                              const std::vector<int>& cameraIds, bool post) {
    TriggeredEvent::FramesByCamera frames;
    for (auto& [camera, ring] : buffer) {
        if (std::find(cameraIds.begin(), cameraIds.end(), camera) == cameraIds.end()) {
            continue;
        }
        const auto& s = sources.at(camera)->settings;
        frames[camera] = post ? ring.getPrePost(te.triggerTimestamp, 0, s.post, camera, te.triggerId, "post")
                              : ring.getPrePost(te.triggerTimestamp, s.pre, 0, camera, te.triggerId, "pre");
    }
    return frames;
}

void TriggeredEventBuilder::dispatch(TriggeredEvent& event, const TriggeredEvent::FramesByCamera& pre,
                                     const TriggeredEvent::FramesByCamera& post) {
    std::set<const FrameWithInfo*> dispatched;  // one id per event on a frame
    std::set<int> cameras;
    for (const auto* part : {&pre, &post}) {
        for (const auto& entry : *part) {
            cameras.insert(entry.first);
        }
    }
    for (const int camera : cameras) {
        for (const auto* part : {&pre, &post}) {
            const auto byGuid = part->find(camera);
            if (byGuid == part->end()) {
                continue;
            }
            for (const auto& [guid, frame] : byGuid->second) {
                if (dispatched.insert(frame.get()).second) {
                    claimOrCount(event, camera, frame);
                }
            }
        }
    }
}

void TriggeredEventBuilder::claimOrCount(TriggeredEvent& event, int camera, const FramePtr& frame) {
    const long eventId = static_cast<long>(event.id);
    const char* guid = frame->frame->guid.c_str();
    // Appended before the status is read: see countReturned.
    frame->triggerIds.push_back(event.trigger.triggerId);
    if (frame->status.load() == FrameWithInfo::Processed) {
        ILog::Debug("event: %lli, Frame guid: %s goto update", static_cast<long long>(eventId), guid);
        event.update(frame);
        return;
    }
    const auto queue = claimQueues_.find(camera);
    if (queue == claimQueues_.end() || !queue->second) {
        // No way through the networks for this camera: the frame counts as it is.
        event.update(frame);
        return;
    }
    ILog::Debug("event: %lli, Frame guid: %s goto pipeline", static_cast<long long>(eventId), guid);
    auto expected = FrameWithInfo::NoProcessed;
    if (frame->status.compare_exchange_strong(expected, FrameWithInfo::InProccess)) {
        // No lock is held here: the push may wait for the networks, which wait for the worker.
        ctx.frameQueued();
        queue->second->push(frame);
    } else if (expected == FrameWithInfo::Processed) {
        // It came back meanwhile; the worker may have counted it too, which counts once.
        event.update(frame);
    }
    // Otherwise it is on its way through the networks and comes back carrying this id.
}

std::shared_ptr<TriggeredEvent> TriggeredEventBuilder::find(int64_t triggerId) const {
    std::lock_guard<std::mutex> lock(eventHistoryMutex);
    const auto found = eventHistory.find(triggerId);
    return found == eventHistory.end() ? nullptr : found->second;
}

void TriggeredEventBuilder::completeIfDue(const std::shared_ptr<TriggeredEvent>& event) {
    if (auto collected = event->claimReport()) {
        finish(event, *collected);
    }
}

void TriggeredEventBuilder::finish(const std::shared_ptr<TriggeredEvent>& event,
                                   const TriggeredEvent::Collected& collected) {
    std::string failure;
    try {
        report(collected);
    } catch (const std::exception& e) {
        failure = std::string("exception: ") + e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    erase(event);
    if (!failure.empty()) {
        ILog::Error("%s: report of event %ld by trigger %ld failed, event dropped: %s", name.c_str(),
                    static_cast<long>(collected.id), static_cast<long>(collected.trigger.triggerId),
                    failure.c_str());
    }
}

void TriggeredEventBuilder::report(const TriggeredEvent::Collected& collected) {
    const long triggerId = static_cast<long>(collected.trigger.triggerId);
    TriggeredReport::Result result = TriggeredReport(*this, settings).assemble(collected);
    ILog::Debug("%s: Report: event: %li. Send report, LP: %s", name.c_str(), triggerId,
                result.plateList.c_str());
    post(QEVAPair(std::make_unique<QEVAEvent>(std::move(result.event)), nullptr));
    ILog::Debug("%s: Report: event: %li. Finish report", name.c_str(), triggerId);
    result.stat.durationMs = CommonUtils::getTs() - collected.trigger.triggerTimestamp;
    statistics.update(result.stat);
}

void TriggeredEventBuilder::erase(const std::shared_ptr<TriggeredEvent>& event) {
    std::lock_guard<std::mutex> lock(eventHistoryMutex);
    const auto held = eventHistory.find(event->trigger.triggerId);
    // A later event under the same id is not this one.
    if (held != eventHistory.end() && held->second == event) {
        eventHistory.erase(held);
    }
}

void TriggeredEventBuilder::idle(std::chrono::milliseconds) {
    reapOverdue();
}

void TriggeredEventBuilder::flush() {
    reportOverdue(TriggeredEvent::Clock::time_point::max(), "had not come back when the input ended");
}

void TriggeredEventBuilder::reapOverdue() {
    const std::string why = "did not come back within " + std::to_string(timing_.returnBound.count()) + " ms";
    reportOverdue(timing_.now(), why.c_str());
}

void TriggeredEventBuilder::reportOverdue(TriggeredEvent::Clock::time_point now, const char* why) {
    std::vector<std::shared_ptr<TriggeredEvent>> held;
    {
        std::lock_guard<std::mutex> lock(eventHistoryMutex);
        for (const auto& entry : eventHistory) {
            held.push_back(entry.second);
        }
    }
    for (const auto& event : held) {
        uint64_t missing = 0;
        if (auto collected = event->claimOverdue(now, missing)) {
            ILog::Warning(
                "%s: event %ld by trigger %ld: %ld frame(s) sent through the networks %s; reported "
                "without them",
                name.c_str(), static_cast<long>(event->id), static_cast<long>(event->trigger.triggerId),
                static_cast<long>(missing), why);
            finish(event, *collected);
        }
    }
}

void TriggeredEventBuilder::dropPending() {
    std::map<int64_t, std::shared_ptr<TriggeredEvent>> pending;
    {
        std::lock_guard<std::mutex> lock(eventHistoryMutex);
        pending.swap(eventHistory);
    }
    long dropped = 0;
    for (const auto& entry : pending) {
        dropped += entry.second->drop() ? 1 : 0;
    }
    if (dropped > 0) {
        ILog::Info("%s: %ld pending trigger event(s) dropped at the stop", name.c_str(), dropped);
    }
}

void TriggeredEventBuilder::poisonRings() {
    for (auto& entry : buffer) {
        entry.second.poison();
    }
}

std::string TriggeredEventBuilder::getStatString() const {
    return "AvgLatency = " + std::to_string(statistics.avgLatency()) + " ms";
}

json TriggeredEventBuilder::getStatistics() const {
    return statistics.get();
}

size_t TriggeredEventBuilder::heldEvents() const {
    std::lock_guard<std::mutex> lock(eventHistoryMutex);
    return eventHistory.size();
}

std::shared_ptr<TriggeredEvent> TriggeredEventBuilder::heldEvent(int64_t triggerId) const {
    return find(triggerId);
}

TriggeredEventBuilder::Buffer* TriggeredEventBuilder::frameRing(int cameraId) {
    const auto ring = buffer.find(cameraId);
    return ring == buffer.end() ? nullptr : &ring->second;
}
