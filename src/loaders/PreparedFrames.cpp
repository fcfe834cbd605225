#include "src/loaders/PreparedFrames.h"

void PreparedFrames::mark(const FrameWithInfo* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++marks_[frame];
}

bool PreparedFrames::take(const FrameWithInfo* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = marks_.find(frame);
    if (found == marks_.end()) {
        return false;
    }
    if (--found->second == 0) {
        marks_.erase(found);
    }
    return true;
}
