#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAEvent.h"
#include "qo_common/video/IVideoSource.h"
#include "src/event_builder/EventBuilderComponent.h"
#include "src/event_builder/TrainEvent.h"

// The event builder of "type" "TrainSequence": the cameras of one lane that watch trains. It
// groups each frame's plate readings into TrainEvents, confirms an event only once its plate
// stands still, and reports a confirmed event once, after "eventEmitWait" ms without a reading (or
// when it finishes). Each report runs in its own thread on a copy of the event and posts one QEVA
// event with the chosen plate (once per online recording camera that read it), the direction of
// travel, the open-door frame and the last frame. It ignores triggers and corrects no plate.
//
// Keys beyond the common ones (defaults in brackets): "eventEmitWait" [30000 ms],
// "lpForgetInterval" [60000 ms], "minDetections" [2], "minDoorOpenCount" [3],
// "maxDoorDistancePercent" [20], "stationaryPlateMinCount" [3], "iouThreshold" [0.7] and
// "doorRoi" ["0, 0, 1000, 1000"]: x, y, width, height in thousandths of the image.
//
// Threads: consume() on the builder's worker only; it alone touches the history, the sources and
// the events. getStatString()/getStatistics() from any thread (an atomic count). Report threads
// read the settings, the sources and the context's event queues; the destructor waits for them.
class TrainBuilder : public EventBuilderComponent {
  public:
    // Throws BuilderConfig::Error for a key of the wrong kind or a refused value ("minDetections"
    // or "minDoorOpenCount" below 0, and what the common keys refuse). A malformed "doorRoi" gives
    // the whole image with a Warning; an empty door region or an "iouThreshold" outside (0, 1] is
    // accepted with a Warning.
    TrainBuilder(ek::PipelineContext& ctx, const nlohmann::json& config);
    // Waits for every report thread.
    ~TrainBuilder() override;
    TrainBuilder(const TrainBuilder&) = delete;
    TrainBuilder& operator=(const TrainBuilder&) = delete;

    // Takes the lane's cameras from the context (call it before the worker starts).
    void start() override;
    void consume(std::shared_ptr<FrameWithInfo> frame) override;
    // The sweep of consume() at the last frame's timestamp plus `sinceLastFrame`: a confirmed
    // event is reported "eventEmitWait" after its last reading whether frames come or not.
    void idle(std::chrono::milliseconds sinceLastFrame) override;
    // Sweeps at the latest frame time plus "lpForgetInterval" + "eventEmitWait", so that every
    // confirmed event is reported and every event closed, and waits for every report thread (not
    // beyond the stop flag).
    void flush() override;
    std::chrono::milliseconds settleTime() const override;
    // Train lanes take no triggers.
    void trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) override;
    std::string getStatString() const override;
    nlohmann::json getStatistics() const override;
    EventBuilderMode mode() const override;

    // Builds and posts the event's QEVA event; runs in a report thread on a copy of the event.
    // Throws what posting throws (a destination without a queue).
    void report(const TrainEvent& event) const;

    const TrainEventSettings& eventSettings() const { return settings; }

  protected:
    // Starts one report thread. Throws std::system_error when no thread can be started.
    virtual std::future<void> startReportThread(std::function<void()> job);

  private:
    void readTrainKeys(const nlohmann::json& config);
    void readDoorRoi(const nlohmann::json& config);
    void warnAboutOddSettings() const;

    void matchReadings(const std::shared_ptr<FrameWithInfo>& frame);
    void sweep(int64_t ts);
    // True when the event may leave the history.
    bool handleReport(TrainEvent& event);
    bool launchReport(TrainEvent& event);
    void closeEvent(const TrainEvent& event) const;
    void cleanupReports();
    void reportGuarded(const TrainEvent& event) const;
    QEVAEvent buildEvent(const TrainEvent& event) const;
    void addPlateDetections(const TrainEvent& event, QEVAEvent& out) const;

    TrainEventSettings settings;
    std::map<int, std::shared_ptr<ek::IVideoSource>> sources;
    History history;
    std::vector<std::future<void>> futureReports;
    // The size of `history`, for the statistics thread.
    std::atomic<size_t> eventsInHistory{0};
    // Frame times of the frames swept so far: the last one and the latest one.
    bool seenFrame_ = false;
    int64_t lastTs_ = 0;
    int64_t latestTs_ = 0;
};
