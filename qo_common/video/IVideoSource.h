#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/video/VideoSourceSettings.h"

class Packet;

namespace ek {

// A camera stream or a file delivering decoded frames.
//
// Threads: open, getFrame (and so getFrameImpl) are called by one thread, the source's producer.
// stop, isOnline, getStatistics, getEncodedFrames, getSizeBufferFrames and getInfo may be called
// from any thread at any time and never block on the stream. stop is idempotent; after it
// getFrame gives poison frames until the next open, which reopens the stream.
class IVideoSource {
  public:
    explicit IVideoSource(VideoSourceSettings s) : settings(std::move(s)) {}
    IVideoSource(const IVideoSource&) = delete;
    IVideoSource& operator=(const IVideoSource&) = delete;

    virtual ~IVideoSource() = default;
    // Returns once the stream can be read, or once it is known that it cannot (then getFrame
    // gives an end-of-stream frame). Never throws for a stream that fails to open.
    virtual void open() = 0;
    virtual void stop() = 0;
    // Checks at load time that the source can be read, where that is certain and cheap: a file
    // source opens its file and finds a decodable video stream. Network sources, and file sources
    // given a network URI, are not probed (a camera may be offline at boot). Throws
    // std::runtime_error with the reason.
    virtual void probe() {}
    virtual bool isFile() const = 0;
    virtual bool isOnline() const = 0;
    // Must not call back into the pipeline context: it is called with the context lock held.
    virtual nlohmann::json getStatistics() const { return nullptr; }
    // Encoded packets of [from, to] (frame timestamps) in decode order, starting at the keyframe
    // at or before `from`; each a new reference. Packets of one connection of the stream only, and
    // a run that decodes to its end.
    virtual std::vector<std::shared_ptr<Packet>> getEncodedFrames(int64_t from, int64_t to) {
        (void)from;
        (void)to;
        return {};
    }
    // Frames covered by the packet buffer.
    virtual uint64_t getSizeBufferFrames() const { return 0; }
    virtual std::string getInfo() const = 0;

    // The next frame, never null and with a non-null `frame`: a poison frame once stopped, a frame
    // with an empty image at the end of the stream. Fills roi, plateWidth, direction and the
    // frames of lane partners taken within desyncThresholdMs.
    FrameWithInfoPtr getFrame() {
        auto f = getFrameImpl();
        if (!f) {
            f = FrameWithInfo::makePoison();
        }
        if (!f->frame) {
            f->frame = std::make_shared<ek::pipeline::Frame>();
        }
        if (f->poison || f->frame->image.cols == 0) {
            return f;
        }
        fillFromSettings(*f);
        {
            std::lock_guard<std::mutex> lock(lastMutex_);
            last_ = f->frame;
        }
        fillPairs(*f);
        return f;
    }

    // The other sources of the lane, by source id. Held weakly: a partner that is destroyed is
    // simply no longer paired.
    void setVideoSourcer(const std::map<int, std::shared_ptr<IVideoSource>>& sources) {
        std::map<int, std::weak_ptr<IVideoSource>> partners;
        for (const auto& [id, source] : sources) {
            if (source.get() != this) {
                partners.emplace(id, source);
            }
        }
        std::lock_guard<std::mutex> lock(partnersMutex_);
        partners_ = std::move(partners);
    }

    // The latest frame this source delivered (null before the first); read by lane partners.
    std::shared_ptr<ek::pipeline::Frame> latestFrame() const {
        std::lock_guard<std::mutex> lock(lastMutex_);
        return last_;
    }

    VideoSourceSettings settings;
    // Packet timestamp minus frame timestamp, ms. Fixed once the source is made.
    int correctionTs = 0;

  protected:
    virtual FrameWithInfoPtr getFrameImpl() = 0;

  private:
    void fillFromSettings(FrameWithInfo& f) const {
        const auto& image = f.frame->image;
        f.roi.clear();
        for (size_t i = 0; i + 1 < settings.roi.size(); i += 2) {
            f.roi.emplace_back(
                static_cast<int>(settings.roi[i] * static_cast<float>(image.cols) / 1000.f),
                static_cast<int>(settings.roi[i + 1] * static_cast<float>(image.rows) / 1000.f));
        }
        f.plateWidth = settings.plateWidth;
        f.direction = settings.direction;
    }

    // Partners are read without this source's own locks held, so two partners reading each
    // other cannot deadlock.
    void fillPairs(FrameWithInfo& f) const {
        std::map<int, std::weak_ptr<IVideoSource>> partners;
        {
            std::lock_guard<std::mutex> lock(partnersMutex_);
            partners = partners_;
        }
        for (const auto& [id, weak] : partners) {
            auto partner = weak.lock();
            if (!partner) {
                continue;
            }
            auto frame = partner->latestFrame();
            if (frame && std::llabs(frame->timestamp - f.frame->timestamp) <= settings.desyncThresholdMs) {
                f.pairs.set(id, std::move(frame));
            }
        }
    }

    mutable std::mutex partnersMutex_;
    std::map<int, std::weak_ptr<IVideoSource>> partners_;
    mutable std::mutex lastMutex_;
    std::shared_ptr<ek::pipeline::Frame> last_;
};

// A new source for `settings.type` (see the README for the accepted values), owning a copy of
// the settings; null when no implementation fits the type.
std::unique_ptr<IVideoSource> createVideoSource(const VideoSourceSettings& settings);

}  // namespace ek
