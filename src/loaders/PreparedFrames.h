#pragma once

#include <map>
#include <mutex>

struct FrameWithInfo;

// The frames that a network's prepare worker prepared and its infer worker has not yet inferred.
// The infer worker follows this record rather than the inference switch or the frame's status,
// which other threads may change while the frame waits between the two workers.
class PreparedFrames {
  public:
    void mark(const FrameWithInfo* frame);
    // True (and forgets one mark) when the frame was marked.
    bool take(const FrameWithInfo* frame);

  private:
    std::mutex mutex_;
    // A count, because one frame object may pass the same network twice at once (two networks
    // that both send to it).
    std::map<const FrameWithInfo*, int> marks_;
};
