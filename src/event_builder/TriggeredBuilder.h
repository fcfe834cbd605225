#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qo_common/utils/balance_queue.h"
#include "src/event_builder/LpEventBuilder.h"
#include "src/event_builder/TriggeredEvent.h"
#include "src/event_builder/TriggeredEventBuilderStatistics.h"
#include "src/event_builder/TriggeredFrameRing.h"
#include "src/event_builder/TriggeredReport.h"

// The licence-plate builder that makes one event per external trigger ("type" "LP",
// "triggeredMode" 2). Between triggers it keeps a ring of the latest frames of each lane camera.
// A trigger registers a TriggeredEvent under its id and, in the trigger's thread, collects every
// camera's last `pre` frames before the trigger time, then every camera's `post` frames from it on.
// Frames already through the networks count at once; the others are claimed and sent through the
// networks by way of "<camera>_triggered" and count when they come back carrying the trigger id.
// Whichever thread counts the last frame reports the event (TriggeredReport) and posts it.
//
// Threads: start() and the destructor on the main thread; consume() in the builder's worker;
// trigger() in trigger threads, concurrently with each other and with consume(); reports in
// whichever of them completes an event; getStatistics()/getStatString() anywhere. The ring map is
// complete after start() and never changes; eventHistoryMutex guards only lookups, insertions and
// erasures; no lock is held across a push into a queue, a wait for frames or a report.
//
// Bounds: a trigger whose frames have not all come back within Timing::returnBound of their
// dispatch is reported over the frames counted so far (checked whenever a frame or a trigger
// arrives, and by idle() while none does); an event that collected nothing is reported at once;
// flush() reports every dispatched event over what it has; the poison frame drops every pending
// event.
class TriggeredEventBuilder : public LpEventBuilder {
  public:
    using Buffer = TriggeredFrameRing;
    using FramePtr = std::shared_ptr<FrameWithInfo>;

    struct Timing {
        TriggeredFrameRing::Limits ring;
        // How long dispatched frames may take to come back before the event is reported without them.
        std::chrono::milliseconds returnBound{30000};
        // The clock of the return bound (tests drive their own).
        std::function<TriggeredEvent::Clock::time_point()> now = [] { return TriggeredEvent::Clock::now(); };
    };

    // Reads "bufferSize" (1 to 10000, default 50), "includeAllLprResults" and "includeAllImages"
    // after the base's keys. Throws BuilderConfig::Error naming a bad key.
    TriggeredEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config);
    // The same with other time bounds (tests).
    TriggeredEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config, Timing timing);
    // Poisons the rings, which wakes every collection still waiting.
    ~TriggeredEventBuilder() override;

    // The base's start, then one ring per lane camera and the lookup of its "<camera>_triggered"
    // queue. Warns about cameras that cannot feed the builder, have no such queue, or whose `pre`
    // does not fit the ring.
    void start() override;
    void consume(std::shared_ptr<FrameWithInfo> frame) override;
    // Checks the return bound.
    void idle(std::chrono::milliseconds sinceLastFrame) override;
    // The input has ended: every dispatched event is reported now over the frames counted so far.
    void flush() override;
    void trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) override;
    std::string getStatString() const override;
    nlohmann::json getStatistics() const override;
    EventBuilderMode mode() const override { return EventBuilderMode::Triggered; }

    // For tests and the status: events still registered, and the one under a trigger id.
    size_t heldEvents() const;
    std::shared_ptr<TriggeredEvent> heldEvent(int64_t triggerId) const;
    // The ring of a lane camera (after start), or null.
    Buffer* frameRing(int cameraId);

  private:
    void create(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds);
    TriggeredEvent::FramesByCamera collect(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds,
                                           bool post);
    void dispatch(TriggeredEvent& event, const TriggeredEvent::FramesByCamera& pre,
                  const TriggeredEvent::FramesByCamera& post);
    void claimOrCount(TriggeredEvent& event, int camera, const FramePtr& frame);
    void countReturned(const FramePtr& frame);
    void keep(const FramePtr& frame);
    std::shared_ptr<TriggeredEvent> find(int64_t triggerId) const;
    void completeIfDue(const std::shared_ptr<TriggeredEvent>& event);
    void finish(const std::shared_ptr<TriggeredEvent>& event, const TriggeredEvent::Collected& collected);
    void report(const TriggeredEvent::Collected& collected);
    void erase(const std::shared_ptr<TriggeredEvent>& event);
    void reapOverdue();
    void reportOverdue(TriggeredEvent::Clock::time_point now, const char* why);
    void dropPending();
    void poisonRings();
    void checkCamera(const ek::IVideoSource& camera);

    std::map<int, Buffer> buffer;  // camera id -> ring; complete after start()
    std::map<int64_t, std::shared_ptr<TriggeredEvent>> eventHistory;
    mutable std::mutex eventHistoryMutex;
    uint64_t frameBufferSize = 50;
    TriggeredEventSettings settings;
    TriggeredEventBuilderStatistics statistics{100};
    Timing timing_;
    // Camera id -> its "<camera>_triggered" balancer queue; null when the camera has none (its frames
    // are counted as they are). Complete after start().
    std::map<int, std::shared_ptr<balance_queue>> claimQueues_;
};
