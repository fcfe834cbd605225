#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "qo_common/utils/FrameWithInfo.h"

// One trigger's event in the triggered builder: the frames collected around the trigger time and
// how many of them have come back from the networks. States move one way only:
// Create -> Processing (collection done, frames dispatched) -> NeedReport (every frame counted)
// -> Finish (the report is claimed, or the event was dropped at the stop).
//
// Threads: the trigger thread that collects it, the builder's worker that counts returned frames,
// and whichever of them completes it. Every member below is guarded by the event's own mutex; no
// operation waits or calls out while holding it.
class TriggeredEvent {
  public:
    enum Status { Create = 0, Processing = 1, NeedReport = 2, Finish = 3 };
    using FramePtr = std::shared_ptr<FrameWithInfo>;
    // Camera id -> frame guid -> frame.
    using FramesByCamera = std::map<int, std::map<std::string, FramePtr>>;
    using Clock = std::chrono::steady_clock;

    // What a report reads: taken under the mutex when the report is claimed.
    struct Collected {
        int64_t id = 0;
        QEVATriggerEvent trigger;
        FramesByCamera preFrames;
        FramesByCamera postFrames;
        // Some claimed frames did not come back in time; they were left out.
        bool timedOut = false;
    };

    // Takes the next event id (process-wide, first 1) and a copy of the trigger.
    explicit TriggeredEvent(const QEVATriggerEvent& trigger);
    TriggeredEvent(const TriggeredEvent&) = delete;
    TriggeredEvent& operator=(const TriggeredEvent&) = delete;

    // Hands over the collected frames and enters Processing (NeedReport at once when nothing was
    // collected). False when the event is no longer in Create (dropped at the stop).
    bool startProcessing(FramesByCamera pre, FramesByCamera post);
    // Counts one returned or already processed frame, once per (camera, guid, pre/post), and only
    // while Processing; the last expected frame moves the event to NeedReport.
    void update(const FramePtr& frame);
    // From now on an event still short of frames at `deadline` is overdue.
    void setReturnDeadline(Clock::time_point deadline);

    // NeedReport -> Finish, giving the frames to report; nothing in any other state. Exactly one
    // caller gets the frames.
    std::optional<Collected> claimReport();
    // A Processing event past its return deadline: its uncounted frames are dropped and it moves
    // to Finish, giving the frames already counted; nothing otherwise. `missing` gets the number of
    // frames dropped.
    std::optional<Collected> claimOverdue(Clock::time_point now, uint64_t& missing);
    // Moves any state but Finish to Finish (the stop); true when the event was still pending.
    bool drop();

    Status status() const;
    uint64_t frameNumber() const;
    uint64_t frameCounter() const;

    const int64_t id;
    const QEVATriggerEvent trigger;

    static std::atomic<int64_t> internalCounterID;

  private:
    using CountKey = std::tuple<int, std::string, bool>;  // camera, guid, post

    void count(const FramesByCamera& frames, int camera, const std::string& guid, bool post);
    void dropUncounted(FramesByCamera& frames, bool post);
    Collected collected() const;

    mutable std::mutex mtx;
    FramesByCamera preFrames;
    FramesByCamera postFrames;
    uint64_t frameNumber_ = 0;
    uint64_t frameCounter_ = 0;
    Status status_ = Create;
    std::set<CountKey> counted_;
    std::optional<Clock::time_point> returnDeadline_;
    bool timedOut_ = false;
};
