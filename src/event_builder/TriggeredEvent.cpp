#include "src/event_builder/TriggeredEvent.h"

#include <utility>

std::atomic<int64_t> TriggeredEvent::internalCounterID{0};

namespace {

uint64_t sizeOf(const TriggeredEvent::FramesByCamera& frames) {
    uint64_t n = 0;
    for (const auto& [camera, byGuid] : frames) {
        n += byGuid.size();
    }
    return n;
}

}  // namespace

TriggeredEvent::TriggeredEvent(const QEVATriggerEvent& trigger)
    : id(internalCounterID.fetch_add(1) + 1), trigger(trigger) {}

bool TriggeredEvent::startProcessing(FramesByCamera pre, FramesByCamera post) {
    std::lock_guard<std::mutex> lock(mtx);
    if (status_ != Create) {
        return false;
    }
    preFrames = std::move(pre);
    postFrames = std::move(post);
    frameNumber_ = sizeOf(preFrames) + sizeOf(postFrames);
    // Nothing to wait for: the event is reported as it is.
    status_ = frameNumber_ == 0 ? NeedReport : Processing;
    return true;
}

void TriggeredEvent::update(const FramePtr& frame) {
    const int camera = frame->frame->sourceId;
    const std::string& guid = frame->frame->guid;
    std::lock_guard<std::mutex> lock(mtx);
    if (status_ != Processing) {
        return;
    }
    count(preFrames, camera, guid, false);
    count(postFrames, camera, guid, true);
    if (frameCounter_ >= frameNumber_) {
        status_ = NeedReport;
    }
}

void TriggeredEvent::count(const FramesByCamera& frames, int camera, const std::string& guid, bool post) {
    const auto byGuid = frames.find(camera);
    if (byGuid == frames.end() || byGuid->second.count(guid) == 0) {
        return;
    }
    // A frame may be counted by the worker and by the dispatching trigger thread both.
    if (counted_.emplace(camera, guid, post).second) {
        ++frameCounter_;
    }
}

void TriggeredEvent::setReturnDeadline(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mtx);
    returnDeadline_ = deadline;
}

std::optional<TriggeredEvent::Collected> TriggeredEvent::claimReport() {
    std::lock_guard<std::mutex> lock(mtx);
    if (status_ != NeedReport) {
        return std::nullopt;
    }
    status_ = Finish;
    return collected();
}

std::optional<TriggeredEvent::Collected> TriggeredEvent::claimOverdue(Clock::time_point now,
                                                                      uint64_t& missing) {
    std::lock_guard<std::mutex> lock(mtx);
    if (status_ != Processing || !returnDeadline_ || now < *returnDeadline_) {
        return std::nullopt;
    }
    missing = frameNumber_ - frameCounter_;
    dropUncounted(preFrames, false);
    dropUncounted(postFrames, true);
    frameNumber_ = frameCounter_;
    timedOut_ = true;
    status_ = Finish;
    return collected();
}

void TriggeredEvent::dropUncounted(FramesByCamera& frames, bool post) {
    for (auto& [camera, byGuid] : frames) {
        for (auto it = byGuid.begin(); it != byGuid.end();) {
            if (counted_.count({camera, it->first, post}) == 0) {
                it = byGuid.erase(it);
            } else {
                ++it;
            }
        }
    }
}

bool TriggeredEvent::drop() {
    std::lock_guard<std::mutex> lock(mtx);
    const bool pending = status_ != Finish;
    status_ = Finish;
    return pending;
}

TriggeredEvent::Collected TriggeredEvent::collected() const {
    return {id, trigger, preFrames, postFrames, timedOut_};
}

TriggeredEvent::Status TriggeredEvent::status() const {
    std::lock_guard<std::mutex> lock(mtx);
    return status_;
}

uint64_t TriggeredEvent::frameNumber() const {
    std::lock_guard<std::mutex> lock(mtx);
    return frameNumber_;
}

uint64_t TriggeredEvent::frameCounter() const {
    std::lock_guard<std::mutex> lock(mtx);
    return frameCounter_;
}
