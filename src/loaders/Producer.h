#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "qo_common/jpeg/Encoder.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/video/IVideoSource.h"
#include "src/PipelineContext.h"

namespace ek {

// The producer of one video source: opens it, reads it frame by frame, saves snapshots in the
// configured window, keeps the source's latency and last frame, and routes each frame by the
// source's processing mode. Reopens an ended stream when the source restarts. Runs in its own
// thread (run); ends on the context's stop flag, or when a stream ends and the source does not
// restart. A file source's end (without a stop under way) asks the context for a drain.
class Producer {
  public:
    Producer(PipelineContext& ctx, size_t index);
    void run();

  private:
    using WallClock = std::chrono::system_clock;

    void findRoutes();
    // One open and read cycle; returns when the stream has ended or the run stops.
    void readStream();
    // False when the frame ends the read cycle.
    bool handle(const FrameWithInfoPtr& frame);
    void snapshotIfDue(const FrameWithInfo& frame);
    void updateLatency(const FrameWithInfo& frame);
    void route(const FrameWithInfoPtr& frame);
    void setLastFrame(const FrameWithInfoPtr& frame);
    void clearLastFrame();
    // Asks for the drain when this file source's end ends the run.
    void endsTheRun();

    PipelineContext& ctx_;
    IVideoSource& source_;
    const std::string name_;
    Encoder encoder_;
    std::shared_ptr<ProducerStatistics> stats_;
    std::shared_ptr<balance_queue> balancer_;
    std::shared_ptr<PipelineContext::FrameQueue> builderQueue_;
    WallClock::time_point start_;
    WallClock::time_point lastSnapshot_;
};

}  // namespace ek
