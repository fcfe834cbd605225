#include "SourceStatistics.h"

#include "qo_common/utils/UriMask.h"

namespace ek::video {

void SourceStatistics::opened(int width, int height, const std::string& codec, const std::string& format,
                              double nominalFps) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
    width_ = width;
    height_ = height;
    codec_ = codec;
    format_ = format;
    nominalFps_ = nominalFps;
}

void SourceStatistics::openFailed(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++failedOpens_;
    // Served in "/status": an error text may name the stream with its credentials.
    lastError_ = UriMask::hideCredentials(reason);
}

void SourceStatistics::frameDelivered(int64_t timestamp) {
    fps_.getFps();
    std::lock_guard<std::mutex> lock(mutex_);
    ++frames_;
    lastFrameTs_ = timestamp;
}

void SourceStatistics::dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++drops_;
}

void SourceStatistics::setBufferedPackets(uint64_t packets) {
    std::lock_guard<std::mutex> lock(mutex_);
    bufferedPackets_ = packets;
}

double SourceStatistics::nominalFps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nominalFps_;
}

nlohmann::json SourceStatistics::json(bool online) const {
    const double fps = fps_.fps();
    std::lock_guard<std::mutex> lock(mutex_);
    return {
        {"online", online},
        {"framesDecoded", frames_},
        {"fps", fps},
        {"nominalFps", nominalFps_},
        {"drops", drops_},
        {"reconnects", opens_ > 0 ? opens_ - 1 : 0},
        {"failedOpens", failedOpens_},
        {"width", width_},
        {"height", height_},
        {"codec", codec_},
        {"format", format_},
        {"lastFrameTs", lastFrameTs_},
        {"bufferedPackets", bufferedPackets_},
        {"lastError", lastError_},
    };
}

}  // namespace ek::video
