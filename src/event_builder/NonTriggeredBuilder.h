#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "src/event_builder/Event.h"
#include "src/event_builder/LpEventBuilder.h"
#include "src/event_builder/NonTriggeredEventBuilderStatistics.h"

// The licence-plate builder that needs no trigger ("type" "LP", "triggeredMode" 0): each frame's
// readings join the lane's open events, an event that has become due is reported on a copy in a
// report thread of its own (NonTriggeredReport), and ended events are logged, counted into the
// statistics and dropped. It also tells each camera's balancer how long its processed frames took.
//
// Threads: consume(), the reports' launch and the destructor run in the worker (the destructor in
// the thread that destroys the context); report threads work on their own event copies and read
// the configuration, the lane cameras and the detection rings; getStatistics() and getStatString()
// may be called from any thread.
class NonTriggeredEventBuilder : public LpEventBuilder {
  public:
    // Reads "manyReportsByEvent", "eventEmitWait" and "blurringEnable" after the base's keys.
    NonTriggeredEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config);
    // Poisons the rings (waking reports that wait for detections) and waits for every report.
    ~NonTriggeredEventBuilder() override;

    void consume(std::shared_ptr<FrameWithInfo> frame) override;
    // The sweep of consume() at the last frame's timestamp plus `sinceLastFrame`, so that an event
    // is due lpForgetInterval + eventEmitWait after its last reading whether frames come or not.
    void idle(std::chrono::milliseconds sinceLastFrame) override;
    // Closes the detection rings (no frame will come), sweeps at the latest frame time plus
    // lpForgetInterval + eventEmitWait, so that every event with its detections is reported and
    // closed, and waits for every report thread (not beyond the stop flag).
    void flush() override;
    std::chrono::milliseconds settleTime() const override;
    void trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) override;
    std::string getStatString() const override;
    nlohmann::json getStatistics() const override;
    EventBuilderMode mode() const override { return EventBuilderMode::NonTriggered; }

    // One report of `e` (a copy owned by the calling report thread); see NonTriggeredReport.
    void report(const EventGroup& e);
    float getMotionDirection(const EventGroup& e);

    // Report threads started and not yet pruned (tests and statistics).
    size_t runningReports() const { return futureReports.size(); }

  private:
    void pruneReports();
    void feedBack(FrameWithInfo& frame);
    void sweep(int64_t ts);
    void launchReport(EventGroup& e);
    void close(EventGroup& e);
    void poisonRings();
    void waitForReports();

    History history;
    bool manyReportsByEvent = false;
    int eventEmitWait = 1000;
    bool blurringEnable = false;  // read for compatibility; nothing depends on it
    std::vector<std::future<void>> futureReports;
    NonTriggeredEventBuilderStatistics statistics;
    // Frame times of the frames swept so far: the last one and the latest one.
    bool seenFrame_ = false;
    int64_t lastTs_ = 0;
    int64_t latestTs_ = 0;
};
